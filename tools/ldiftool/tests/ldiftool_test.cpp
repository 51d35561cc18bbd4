// ldiftool as a program: idempotent install on both back ends, clear failures, exit codes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "temp_prefix.h"
#include "zemir/common/regstore.h"
#include "zemir/testsupport/slapd.h"

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
