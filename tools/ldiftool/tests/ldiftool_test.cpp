// ldiftool as a program: idempotent install on both back ends, clear failures, exit codes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "temp_prefix.h"
#include "zemir/common/regstore.h"
#include "zemir/testsupport/slapd.h"
#include "zemir/tools/ldiftool.h"

namespace zemir {
namespace {

// Runs ldiftool with the arguments; returns the exit code and its output (both streams).
int RunTool(const std::string& args, std::string* out) {
  std::string cmd = test::BuildBin() + "/ldiftool " + args + " 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return -1;
  char buf[512];
  out->clear();
  while (fgets(buf, sizeof buf, f)) *out += buf;
  int st = pclose(f);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(LdifTool, InstallsOnTheEmbeddedStoreTwice) {
  test::TempPrefix p;
  std::string out;
  ASSERT_EQ(RunTool("install -user= -password=", &out), 0) << out;
  EXPECT_NE(out.find("created CN=SecretKeys,DC=Zemir,DC=com"), std::string::npos) << out;
  ASSERT_EQ(RunTool("install -user= -password=", &out), 0) << out;
  EXPECT_NE(out.find("exists DC=Zemir,DC=com"), std::string::npos) << out;
  EXPECT_EQ(RunTool("", &out), 2);
  EXPECT_EQ(RunTool("install -bogus", &out), 2);
  EXPECT_NE(out.find("unknown argument \"-bogus\""), std::string::npos);
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "DirectoryURI", "ldap://127.0.0.1:1/");
  EXPECT_EQ(RunTool("install -user= -password=", &out), 1);
  EXPECT_NE(out.find("cannot reach the directory ldap://127.0.0.1:1/"), std::string::npos) << out;
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "DirectoryURI", "mysql:x");
  EXPECT_EQ(RunTool("install -user= -password=", &out), 1);
}

TEST(LdifTool, InstallsOnSlapdWithTheGivenCredentials) {
  if (!test::SlapdServer::Available()) GTEST_SKIP() << "slapd is not installed";
  test::TempPrefix p;
  test::SlapdServer s;
  std::string err;
  ASSERT_TRUE(s.Start(&err, false)) << err;
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "DirectoryURI", s.uri().c_str());
  std::string out;
  EXPECT_EQ(RunTool("install -user= -password=", &out), 1);  // anonymous: refused
  EXPECT_NE(out.find("cannot create DC=Zemir,DC=com"), std::string::npos) << out;
  EXPECT_EQ(RunTool("install \"-user=cn=admin,dc=Zemir,dc=com\" -password=wrong", &out), 1);
  EXPECT_NE(out.find("refused the bind name or password"), std::string::npos) << out;
  ASSERT_EQ(RunTool("install \"-user=cn=admin,dc=Zemir,dc=com\" -password=secret", &out), 0) << out;
  s.ConfigureRegistry();  // the stored credentials serve when none are given
  ASSERT_EQ(RunTool("install -user= -password=", &out), 0) << out;
  EXPECT_NE(out.find("exists CN=GlobalKeys,DC=Zemir,DC=com"), std::string::npos) << out;
}

}  // namespace
}  // namespace zemir

namespace zemir {
namespace {

TEST(LdifTool, ImportsAnLdifFile) {
  test::TempPrefix p;
  std::string ldif = p.path() + "/d.ldif";
  FILE* f = fopen(ldif.c_str(), "w");
  fputs("version: 1\n\n# the domain\ndn: dc=corp,dc=example\nobjectClass: domain\ndc: corp\n\n"
        "dn: uid=anna,dc=corp,dc=example\nobjectClass: person\nobjectClass: inetOrgPerson\n"
        "cn:: QW5uYSBCw7xs\nsn: B\n ell\nuid: anna\n",
        f);
  fclose(f);
  std::string out;
  ASSERT_EQ(RunTool("import -file=" + ldif, &out), 0) << out;
  EXPECT_NE(out.find("created uid=anna,dc=corp,dc=example"), std::string::npos) << out;
  ASSERT_EQ(RunTool("import -file=" + ldif, &out), 0) << out;
  EXPECT_NE(out.find("exists uid=anna,dc=corp,dc=example"), std::string::npos) << out;

  std::vector<tools::LdifEntry> e;
  std::string why;
  ASSERT_TRUE(tools::ParseLdif("dn: cn=x\ncn:: QW5uYSBCw7xs\nsn: B\n ell\n", e, &why)) << why;
  EXPECT_EQ(e[0].attrs["cn"][0], "Anna B\xc3\xbcl");
  EXPECT_EQ(e[0].attrs["sn"][0], "Bell");
  EXPECT_FALSE(tools::ParseLdif("dn: cn=x\n\nobjectClass: y\n", e, &why));
  EXPECT_EQ(why, "line 3: an entry must begin with \"dn:\"");
  EXPECT_FALSE(tools::ParseLdif("dn: cn=x\nchangetype: delete\n", e, &why));
  EXPECT_EQ(why, "line 2: only \"changetype: add\" is supported");
  EXPECT_FALSE(tools::ParseLdif("dn: cn=x\nnovalue\n", e, &why));
  EXPECT_EQ(RunTool("import", &out), 2);
  EXPECT_EQ(RunTool("import -file=/nonexistent.ldif", &out), 1);
}

}  // namespace
}  // namespace zemir
