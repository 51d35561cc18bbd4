// Domain discovery, group and account lookup against the small domain of the fixture.
#include <gtest/gtest.h>

#include <chrono>

#include "backend.h"
#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/directory/domain.h"
#include "zemir/platform/adsi.h"
#include "zemir/platform/codepage.h"
#include "zemir/testsupport/slapd.h"

namespace zemir::test {
namespace {

class DomainTest : public DirectoryTest {};

TEST_P(DomainTest, DomainNameAndMachineRole) {
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "DomainName", "ab");
  EXPECT_EQ(GetDomainTree(), "corp.example");
  EXPECT_NE(Log().find("domain corp.example"), std::string::npos);
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "DomainName", "xyz");
  EXPECT_EQ(GetDomainTree(), "xyz");
  EXPECT_NE(Log().find("GetDomainTree custom xyz"), std::string::npos);
  EXPECT_TRUE(IsComputerInDomain());

  DsRolePrimaryDomainInfoBasic info;
  ASSERT_EQ(DsRoleGetPrimaryDomainInformation(info), 0u);
  EXPECT_EQ(info.MachineRole, DsRole_RoleMemberWorkstation);
  EXPECT_EQ(info.DomainNameFlat, u"CORP");
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", KEY_ALL_ACCESS, &k), 0);
  RegSetValueExA(k, "ProductType", REG_SZ, reinterpret_cast<const BYTE*>("LanmanNt"), 9);
  RegCloseKey(k);
  ASSERT_EQ(DsRoleGetPrimaryDomainInformation(info), 0u);
  EXPECT_EQ(info.MachineRole, DsRole_RolePrimaryDomainController);
}

TEST_P(DomainTest, GroupPathsAndMembership) {
  EXPECT_EQ(FindGroupPath("corp.example", "Zemir"), "LDAP://corp.example/cn=Zemir,ou=Groups,dc=corp,dc=example");
  EXPECT_NE(Log().find("FindADObject: LDAP://corp.example/cn=Zemir,ou=Groups,dc=corp,dc=example"), std::string::npos);
  EXPECT_EQ(FindGroupPath("corp.example", "Nobody"), "");
  EXPECT_NE(Log().find("AdObject not found (&(objectcategory=group)(Name=Nobody))"), std::string::npos);
  EXPECT_EQ(FindGroupPath("corp.example", "Zemir*"), "");  // "*" is escaped, not a wildcard

  std::string phone = "sentinel";
  EXPECT_TRUE(isFindUser("anna", "Zemir", &phone));
  EXPECT_EQ(phone, "+49 170 1111");
  EXPECT_NE(Log().find("Search LDAP://corp.example/uid=anna,ou=Users,dc=corp,dc=example"), std::string::npos);
  EXPECT_TRUE(isFindUser("bob", "zemir", &phone));  // ZemirUsers: the group test is a substring test
  EXPECT_EQ(phone, "555-0102");                      // no mobile: the telephone number
  EXPECT_TRUE(isFindUser("erin", "Zemir", nullptr));  // a group in an OU named Zemir
  EXPECT_TRUE(isFindUser("Anna Bell", "Zemir", nullptr));  // found by its name
  EXPECT_TRUE(isFindUser("carol", nullptr, nullptr));
  MarkLog();
  EXPECT_FALSE(isFindUser("dave", "Zemir", nullptr));  // only through the nested group Inner
  EXPECT_NE(Log().find("attr2: cn=Inner,ou=Groups,dc=corp,dc=example"), std::string::npos);
  EXPECT_NE(Log().find("Search failed \r\n"), std::string::npos);
  EXPECT_FALSE(isFindUser("carol", "Zemir", nullptr));
  EXPECT_FALSE(isFindUser("a*", nullptr, nullptr));
  EXPECT_NE(Log().find("(sAMAccountName=a\\2a)"), std::string::npos);

  // Adding a user to the two-factor group (default name "Zemir").
  ASSERT_TRUE(AddUserTo2faGroup("carol"));
  EXPECT_NE(Log().find("Add user LDAP://corp.example/uid=carol,ou=Users,dc=corp,dc=example to group "
                       "LDAP://corp.example/cn=Zemir,ou=Groups,dc=corp,dc=example"),
            std::string::npos);
  EXPECT_TRUE(isFindUser("carol", "Zemir", nullptr));
  EXPECT_FALSE(AddUserTo2faGroup("carol"));
  EXPECT_NE(Log().find("AddMember failed  80071392"), std::string::npos);
  EXPECT_FALSE(AddUserTo2faGroup("nobody"));
  Dir().Modify("cn=Zemir,ou=Groups,dc=corp,dc=example",
               {{platform::Modification::Delete, "member", {"uid=carol,ou=Users,dc=corp,dc=example"}}});
}

TEST(DomainLookup, ServerDownAnswersWithinBoundedTime) {
  TempPrefix p;
  GetTraceMaker().Open((p.path() + "/t.log").c_str(), 900);
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "DomainURI", "ldap://127.0.0.1:1/");
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "DirectoryTimeout", "2");
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(GetDomainTree(), "");
  EXPECT_FALSE(isFindUser("anna", "Zemir", nullptr));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  std::string log = ReadFile(p.path() + "/t.log");
  EXPECT_NE(log.find("GetDomainTree err 2 80072051"), std::string::npos) << log;
  EXPECT_NE(log.find("isFindUser: err. no AD detected."), std::string::npos);
}

TEST(LocalAccounts, NetUserGetInfoReadsTheAccountDatabase) {
  USER_INFO_10 info;
  ASSERT_EQ(NetUserGetInfo(nullptr, u"root", 10, info), 0u);
  EXPECT_EQ(info.usri10_name, u"root");
  EXPECT_EQ(NetUserGetInfo(nullptr, u"no-such-user-here", 10, info), NERR_UserNotFound);
  EXPECT_NE(NetUserGetInfo(nullptr, u"root", 1, info), 0u);
}

INSTANTIATE_TEST_SUITE_P(Backends, DomainTest, ::testing::Values(Backend::Embedded, Backend::Slapd), BackendName);

}  // namespace
}  // namespace zemir::test

namespace zemir::test {
namespace {

TEST(LdapBackEnd, BindsWithSaslExternalOverTheLocalSocket) {
  if (!SlapdServer::Available()) GTEST_SKIP() << "slapd is not installed";
  SlapdServer s;
  std::string err;
  ASSERT_TRUE(s.Start(&err)) << err;
  platform::ConnectOptions o;
  o.uri = s.ldapiUri();
  auto d = platform::ConnectDirectory(o, nullptr, &err);
  ASSERT_TRUE(d) << err;
  std::vector<platform::Entry> e;
  ASSERT_EQ(d->Search("dc=corp,dc=example", platform::Scope::Subtree, "(uid=anna)", {"cn"}, e), 0) << d->LastError();
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(*e[0].First("cn"), "Anna Bell");
  // A wrong password is refused with a text that says so.
  o.uri = s.uri();
  o.bindDn = SlapdServer::kAdminDn;
  o.password = "wrong";
  int code = 0;
  EXPECT_FALSE(platform::ConnectDirectory(o, &code, &err));
  EXPECT_EQ(code, platform::ldapcode::kInvalidCredentials);
  EXPECT_NE(err.find("refused the bind name or password of cn=admin,dc=Zemir,dc=com"), std::string::npos) << err;
}

}  // namespace
}  // namespace zemir::test
