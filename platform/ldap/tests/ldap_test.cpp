// Distinguished names, filter escaping and the embedded store's operations and search filters.
#include <gtest/gtest.h>

#include "temp_prefix.h"
#include "zemir/platform/ldap.h"

using namespace zemir::platform;

namespace {
ConnectOptions Options(const std::string& dir) {
  ConnectOptions o;
  o.uri = "sqlite:" + dir + "/d.db";
  return o;
}
}  // namespace

TEST(DnHelpers, NormaliseSplitAndDomain) {
  EXPECT_EQ(NormalizeDn("CN=Anna Bell , OU=Users,DC=Corp,DC=Example"), "cn=anna bell,ou=users,dc=corp,dc=example");
  EXPECT_TRUE(SameDn("cn=x,dc=Zemir,dc=com", "CN=X,DC=ZEMIR,DC=COM"));
  EXPECT_EQ(ParentDn("CN=a\\,b,CN=GlobalKeys,DC=Zemir,DC=com"), "CN=GlobalKeys,DC=Zemir,DC=com");
  EXPECT_EQ(SplitDn("CN=a\\,b,DC=x").front(), "CN=a\\,b");
  EXPECT_EQ(DnToDomain("OU=x,DC=corp,DC=example"), "corp.example");
  EXPECT_EQ(DomainToDn("corp.example"), "DC=corp,DC=example");
}

TEST(EmbeddedStore, AddSearchModifyDelete) {
  zemir::test::TempPrefix prefix;
  int code = 0;
  std::string err;
  auto d = ConnectDirectory(Options(prefix.path()), &code, &err);
  ASSERT_TRUE(d) << err;
  EXPECT_EQ(d->Add("CN=x,DC=Zemir,DC=com", {{"objectClass", {"zmContainer"}}}), ldapcode::kNoSuchObject);
  ASSERT_EQ(d->Add("DC=Zemir,DC=com", {{"objectClass", {"domain"}}}), 0);
  ASSERT_EQ(d->Add("CN=Keys,DC=Zemir,DC=com", {{"objectClass", {"zmContainer"}}}), 0);
  EXPECT_EQ(d->Add("cn=KEYS,dc=zemir,dc=com", {{"objectClass", {"zmContainer"}}}), ldapcode::kAlreadyExists);
  const char* users[] = {"anna", "bob", "a(b)*c", "annabel"};
  const char* rdns[] = {"anna", "bob", "odd", "annabel"};
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(d->Add(std::string("CN=k-") + rdns[i] + ",CN=Keys,DC=Zemir,DC=com",
                     {{"objectClass", {"zmGlobalKey"}}, {"zmUserName", {users[i]}}, {"zmUserKeySerial", {"S-1"}}}),
              0);
  std::vector<Entry> out;
  auto names = [&](const std::string& f) {
    std::string s;
    EXPECT_EQ(d->Search("CN=Keys,DC=Zemir,DC=com", Scope::OneLevel, f, {"zmUserName"}, out), 0) << f;
    for (auto& e : out) s += *e.First("zmUserName") + ";";
    return s;
  };
  EXPECT_EQ(names("(zmUserName=ANNA)"), "anna;");
  EXPECT_EQ(names("(zmUserName=ann*)"), "anna;annabel;");
  EXPECT_EQ(names("(zmUserName=*b*)"), "bob;a(b)*c;annabel;");
  EXPECT_EQ(names("(zmUserName=a\\28b\\29\\2ac)"), "a(b)*c;");
  EXPECT_EQ(names("(&(zmUserName=bob)(zmUserKeySerial=s-1))"), "bob;");
  EXPECT_EQ(names("(|(zmUserName=bob)(!(zmUserName=a*)))"), "bob;");
  EXPECT_EQ(names("(zmUserAttr1=x)"), "");
  EXPECT_EQ(d->Search("CN=Keys,DC=Zemir,DC=com", Scope::OneLevel, "(zmUserName=a", {}, out), ldapcode::kFilterError);
  EXPECT_EQ(d->Search("CN=None,DC=Zemir,DC=com", Scope::OneLevel, "", {}, out), ldapcode::kNoSuchObject);

  ASSERT_EQ(d->Modify("cn=k-bob,cn=keys,dc=zemir,dc=com", {{Modification::Replace, "zmUserName", {"robert"}}}), 0);
  EXPECT_EQ(names("(zmUserName=robert)"), "robert;");
  ASSERT_EQ(d->Search("CN=k-bob,CN=Keys,DC=Zemir,DC=com", Scope::Base, "", {"*"}, out), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].dn, "CN=k-bob,CN=Keys,DC=Zemir,DC=com");
  EXPECT_EQ(*out[0].First("cn"), "k-bob");
  EXPECT_EQ(out[0].First("whenCreated")->size(), 17u);
  EXPECT_EQ(*out[0].First("uSNCreated"), "4");
  EXPECT_EQ(d->Delete("CN=Keys,DC=Zemir,DC=com"), ldapcode::kNotAllowedOnNonLeaf);
  EXPECT_EQ(d->Delete("CN=k-bob,CN=Keys,DC=Zemir,DC=com"), 0);
  EXPECT_EQ(d->Delete("CN=k-bob,CN=Keys,DC=Zemir,DC=com"), ldapcode::kNoSuchObject);
  std::vector<std::string> nc;
  ASSERT_EQ(d->NamingContexts(nc), 0);
  EXPECT_EQ(nc, std::vector<std::string>{"DC=Zemir,DC=com"});
}

TEST(EmbeddedStore, MemberOfFollowsGroupMembers) {
  zemir::test::TempPrefix prefix;
  auto d = ConnectDirectory(Options(prefix.path()), nullptr, nullptr);
  ASSERT_TRUE(d);
  ASSERT_EQ(d->Add("DC=corp,DC=example", {{"objectClass", {"domain"}}}), 0);
  ASSERT_EQ(d->Add("uid=anna,DC=corp,DC=example", {{"objectClass", {"inetOrgPerson"}}}), 0);
  ASSERT_EQ(d->Add("cn=Zemir,DC=corp,DC=example", {{"objectClass", {"groupOfNames"}}, {"member", {"UID=Anna, dc=corp,dc=example"}}}), 0);
  std::vector<Entry> out;
  ASSERT_EQ(d->Search("dc=corp,dc=example", Scope::Subtree, "(uid=anna)", {"memberOf"}, out), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(*out[0].First("memberOf"), "cn=Zemir,DC=corp,DC=example");
  ASSERT_EQ(d->Search("dc=corp,dc=example", Scope::Subtree, "(memberOf=CN=zemir,dc=corp,dc=example)", {}, out), 0);
  EXPECT_EQ(out.size(), 1u);
}

TEST(EmbeddedStore, FilterForms) {
  zemir::test::TempPrefix prefix;
  auto d = ConnectDirectory(Options(prefix.path()), nullptr, nullptr);
  ASSERT_TRUE(d);
  ASSERT_EQ(d->Add("DC=t", {{"objectClass", {"domain"}}}), 0);
  ASSERT_EQ(d->Add("CN=a,DC=t", {{"objectClass", {"x"}}, {"n", {"10"}}, {"s", {"Alpha Beta"}}}), 0);
  ASSERT_EQ(d->Add("CN=b,DC=t", {{"objectClass", {"x"}}, {"n", {"9"}}, {"s", {"beta*"}}}), 0);
  struct Case {
    const char* filter;
    int code;
    const char* names;
  } cases[] = {
      {"(n>=10)", 0, "a;"},          // numbers compare as numbers
      {"(n<=9)", 0, "b;"},
      {"(s=alpha*)", 0, "a;"},
      {"(s=*BETA)", 0, "a;"},
      {"(s=*a*b*)", 0, "a;"},
      {"(s=beta\\2a)", 0, "b;"},     // an escaped "*" is a character
      {"(s=*)", 0, "a;b;"},
      {"(!(s=*))", 0, ""},
      {"(&(s=*)(|(n=9)(n=10)))", 0, "a;b;"},
      {"(cn=A)", 0, "a;"},           // the naming attribute is there without being given
      {"", 0, "a;b;"},
      {"(s=\\2)", 87, ""},           // malformed escape
      {"(s=x", 87, ""},
      {"s=x", 87, ""},
      {"(s=x))", 87, ""},
      {"(&(s=x)", 87, ""},
  };
  for (const auto& c : cases) {
    std::vector<Entry> out;
    EXPECT_EQ(d->Search("DC=t", Scope::OneLevel, c.filter, {"cn"}, out), c.code) << c.filter;
    std::string names;
    for (auto& e : out) names += *e.First("cn") + ";";
    EXPECT_EQ(names, c.names) << c.filter;
  }
}
