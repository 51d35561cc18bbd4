// Key, event and secret records: write, list, find by name or search, in both variants.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "backend.h"
#include "zemir/common/trace.h"
#include "zemir/directory/records.h"
#include "zemir/platform/codepage.h"
#include "zemir/testsupport/slapd.h"
#include "zemir/tools/ldiftool.h"

namespace zemir::test {
namespace {

AttrMap KeyRequest() {
  return {{u"zmKeyID", u" "}, {u"zmUserName", u" "}, {u"zmUserKeySerial", u" "}, {u"zmKeyType", u" "},
          {u"zmUserPolicy", u" "}, {u"zmUserAttr1", u" "}, {u"x", u" "}};
}

void AddKey(const std::u16string& id, const std::u16string& user, const std::u16string& serial,
            const std::u16string& attr1 = u"") {
  AttrMap m{{u"zmKeyID", id}, {u"zmUserName", user}, {u"zmUserKeySerial", serial}, {u"zmKeyType", u"zemir_pkcs11.dll"}};
  if (!attr1.empty()) m[u"zmUserAttr1"] = attr1;
  ASSERT_TRUE(_zemirAP_addRecord(kGlobalKeys, id, u"zmGlobalKey", m));
}

class RecordsTest : public DirectoryTest {};

TEST_P(RecordsTest, AddRecordCreatesThenUpdates) {
  AttrMap m{{u"zmKeyID", u"k1"}, {u"zmUserName", u"anna"}, {u"zmUserKeySerial", u"S1"}, {u"zmUserPolicy", u""},
            {u"z", u"ignored"}};
  ASSERT_TRUE(_zemirAP_addRecord(kGlobalKeys, u"k1", u"zmGlobalKey", m));
  std::string log = Log();
  EXPECT_NE(log.find("_zemirAP_addRecord (to:CN=GlobalKeys cls:zmGlobalKey) nameID:k1"), std::string::npos);
  EXPECT_NE(log.find("Create OK LDAP://CN=k1,CN=GlobalKeys,DC=Zemir,DC=com"), std::string::npos);
  EXPECT_NE(log.find("save attr z - ignored."), std::string::npos);
  // Update: only the given attributes change; the rest stay.
  MarkLog();
  ASSERT_TRUE(_zemirAP_addRecord(kGlobalKeys, u"k1", u"zmGlobalKey", {{u"zmUserKeySerial", u"S2"}}));
  EXPECT_NE(Log().find("Updating LDAP://CN=k1,CN=GlobalKeys,DC=Zemir,DC=com"), std::string::npos);
  AttrMap r = KeyRequest();
  ASSERT_TRUE(_zemirAP_getAttrsMap(kGlobalKeys, u"CN=k1", nullptr, nullptr, r));
  EXPECT_EQ(r[u"zmUserName"], u"anna");
  EXPECT_EQ(r[u"zmUserKeySerial"], u"S2");
  EXPECT_EQ(r[u"zmUserPolicy"], u" ");  // written as a blank
  EXPECT_EQ(r[u"zmUserAttr1"], u" ");   // never there: the pre-filled blank stays
  EXPECT_EQ(r[u"x"], u" ");
  EXPECT_NE(Log().find("Can't LDAP_GetAttr(zmUserAttr1)"), std::string::npos);
  // A record in a container that does not exist cannot be created.
  EXPECT_FALSE(_zemirAP_addRecord(u"CN=Nowhere", u"k2", u"zmGlobalKey", {{u"zmKeyID", u"k2"}}));
  EXPECT_NE(Log().find("Can't LDAP_CreateObject LDAP://CN=k2,CN=Nowhere,DC=Zemir,DC=com"), std::string::npos);
}

TEST_P(RecordsTest, ListAndReadTheWayTheKeyListDoes) {
  EXPECT_TRUE(_zemirAP_ListChilds(kGlobalKeys).empty());
  AddKey(u"k1", u"anna", u"S1");
  AddKey(u"k2", u"bob", u"S2");
  AddKey(u"k3", u"carol", u"S3");
  auto kids = _zemirAP_ListChilds(kGlobalKeys);
  ASSERT_EQ(kids, (std::vector<std::u16string>{u"CN=k1", u"CN=k2", u"CN=k3"}));
  std::u16string users;
  for (const auto& k : kids) {
    AttrMap r = KeyRequest();
    ASSERT_TRUE(_zemirAP_getAttrsMap(kGlobalKeys, k.c_str(), nullptr, nullptr, r));
    users += r[u"zmUserName"] + u";";
  }
  EXPECT_EQ(users, u"anna;bob;carol;");
  EXPECT_TRUE(_zemirAP_ListChilds(u"CN=Nowhere").empty());
  EXPECT_NE(Log().find("_zemirAP_ListChilds Err LDAP://CN=Nowhere,DC=Zemir,DC=com"), std::string::npos);
  // A missing child leaves the offline flag clear; a missing container sets it.
  AttrMap r = KeyRequest();
  EXPECT_FALSE(_zemirAP_getAttrsMap(kGlobalKeys, u"CN=gone", nullptr, nullptr, r));
  EXPECT_FALSE(ApOfflineMode);
  EXPECT_NE(Log().find("_zemirAP_getAttrsMap OpenObject fail LDAP://CN=gone,CN=GlobalKeys"), std::string::npos);
  EXPECT_FALSE(_zemirAP_getAttrsMap(u"CN=Nowhere", nullptr, "anna", nullptr, r));
  EXPECT_TRUE(ApOfflineMode);
  EXPECT_NE(Log().find("_zemirAP_getAttrsMap OpenObject err LDAP://CN=Nowhere,DC=Zemir,DC=com. Set Offline."),
            std::string::npos);
  // The service's copy sets no flag and words its line without it.
  ApOfflineMode = false;
  EXPECT_FALSE(svc::_zemirAP_getAttrsMap(u"CN=Nowhere", nullptr, "anna", nullptr, r));
  EXPECT_FALSE(ApOfflineMode);
  EXPECT_NE(Log().find("_zemirAP_getAttrsMap OpenObject err LDAP://CN=Nowhere,DC=Zemir,DC=com\r\n"), std::string::npos);
}

TEST_P(RecordsTest, SearchBySerialUserAndAlternativeName) {
  AddKey(u"k1", u"anna", u"S1", u"anna.alt");
  AddKey(u"k2", u"anna", u"S2");
  AddKey(u"k3", u"bob*", u"S3");
  AddKey(u"k4", u"a(b)\\c", u"S4");
  auto find = [](bool service, const char* user, const char* serial) -> std::string {
    AttrMap r = KeyRequest();
    bool ok = service ? svc::_zemirAP_getAttrsMap(kGlobalKeys, nullptr, user, serial, r)
                      : _zemirAP_getAttrsMap(kGlobalKeys, nullptr, user, serial, r);
    return ok ? WideToAnsi(r[u"zmKeyID"]) : "-";
  };
  EXPECT_EQ(find(false, nullptr, "S2"), "k2");
  EXPECT_EQ(find(false, "anna", "S2"), "k2");
  EXPECT_EQ(find(false, "bob", "S2"), "-");
  EXPECT_NE(Log().find("_zemirAP_getAttrsMap search by filter: (&(zmUserName=bob)(zmUserKeySerial=S2)) ... "),
            std::string::npos);
  EXPECT_NE(Log().find("Found 0 items.  "), std::string::npos);
  // Several matches: the first the adapter lists.
  MarkLog();
  EXPECT_EQ(find(false, "anna", nullptr), "k1");
  EXPECT_NE(Log().find("Found 2 items. 1-LDAP://"), std::string::npos);
  // "*": the console searches the alternative identifier with a wildcard...
  EXPECT_EQ(find(false, "anna.a*", nullptr), "k1");
  EXPECT_NE(Log().find("(zmUserAttr1=anna.a*)"), std::string::npos);
  EXPECT_EQ(find(false, "bob*", nullptr), "-");
  // ...the service searches the user name, the "*" taken literally.
  EXPECT_EQ(find(true, "bob*", nullptr), "k3");
  EXPECT_EQ(find(true, "b*", nullptr), "-");
  EXPECT_NE(Log().find("(zmUserName=b\\2a)"), std::string::npos);
  // Parentheses and backslashes are escaped in both.
  EXPECT_EQ(find(false, "a(b)\\c", nullptr), "k4");
  EXPECT_EQ(find(true, "a(b)\\c", "S4"), "k4");
  EXPECT_NE(Log().find("(zmUserName=a\\28b\\29\\5cc)"), std::string::npos);
  // A serial with "*" never becomes a wildcard.
  EXPECT_EQ(find(false, nullptr, "S*"), "-");
  // A filter over 199 characters is refused, not cut.
  std::string longName(190, 'n');
  MarkLog();
  EXPECT_EQ(find(false, longName.c_str(), nullptr), "-");
  std::string log = Log();
  EXPECT_NE(log.find("_zemirAP_getAttrsMap filter of 203 characters is longer than 199, not searched"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("search by filter"), std::string::npos);
  EXPECT_EQ(FilterEscape(std::string("x\0*", 3), true), "x\\00\\2a");
}

TEST_P(RecordsTest, PendingOneTimePasswordRequest) {
  auto addEvent = [&](const std::string& id, const std::string& user, const std::string& kind, const std::string& otp) {
    ASSERT_EQ(Dir().Add("CN=" + id + ",CN=SelfEnrolls,DC=Zemir,DC=com",
                        {{"objectClass", {"zmSelfEnroll"}},
                         {"zmKeyID", {id}},
                         {"zmUserName", {user}},
                         {"zmSignalType", {kind}},
                         {"zmUserAuthData", {otp}}}),
              0)
        << Dir().LastError();
  };
  addEvent("e1", "anna", "OTP-Logon", "111111");
  addEvent("e2", "anna", "OTP-Auth", "222222");
  addEvent("e3", "bob", "OTP-Auth", "333333");
  AttrMap r{{u"zmKeyID", u" "}, {u"zmUserName", u" "}, {u"zmUserAuthData", u" "}, {u"zmUserKeySerial", u"S1"}};
  ASSERT_TRUE(_zemirAP_findSelfEnrolls(kSelfEnrolls, r, "anna", "OTP-Auth"));
  EXPECT_EQ(r[u"zmKeyID"], u"e2");
  EXPECT_EQ(r[u"zmUserAuthData"], u"222222");
  EXPECT_EQ(r[u"zmUserKeySerial"], u"S1");  // not on the event: the value already in the map stays
  EXPECT_NE(Log().find("_zemirAP_findSelfEnrolls search by filter: (&(zmUserName=anna)(zmSignalType=OTP-Auth)) ... "),
            std::string::npos);
  AttrMap none{{u"zmKeyID", u" "}};
  EXPECT_FALSE(_zemirAP_findSelfEnrolls(kSelfEnrolls, none, "carol", "OTP-Auth"));
  EXPECT_FALSE(_zemirAP_findSelfEnrolls(u"CN=Nowhere", none, "anna", "OTP-Auth"));
  EXPECT_NE(Log().find("_zemirAP_findSelfEnrolls OpenObject err LDAP://CN=Nowhere,DC=Zemir,DC=com"), std::string::npos);
  // The events view reads creation time and order of every record.
  auto kids = _zemirAP_ListChilds(kSelfEnrolls);
  ASSERT_EQ(kids.size(), 3u);
  std::vector<unsigned long long> usn;
  for (const auto& k : kids) {
    AttrMap e{{u"whenCreated", u" "}, {u"uSNCreated", u" "}, {u"zmSignalType", u" "}};
    ASSERT_TRUE(_zemirAP_getAttrsMap(kSelfEnrolls, k.c_str(), nullptr, nullptr, e));
    EXPECT_EQ(e[u"whenCreated"].size(), 17u) << WideToAnsi(e[u"whenCreated"]);
    EXPECT_EQ(e[u"whenCreated"].substr(14), u".0Z");
    usn.push_back(std::stoull(WideToAnsi(e[u"uSNCreated"])));
  }
  EXPECT_LT(usn[0], usn[1]);
  EXPECT_LT(usn[1], usn[2]);
  // The service deletes the request after use.
  EXPECT_EQ(ap::DeleteObject(ObjectPath(kSelfEnrolls, u"e2")), 0);
  EXPECT_NE(ap::DeleteObject(ObjectPath(kSelfEnrolls, u"e2")), 0);
  EXPECT_TRUE(_zemirAP_findSelfEnrolls(kSelfEnrolls, r, "anna", "OTP-Auth") == false);
}

TEST_P(RecordsTest, ServiceLooksUpFromSeveralThreads) {
  for (int i = 0; i < 8; ++i) AddKey(u"k" + AnsiToWide(std::to_string(i)), AnsiToWide("user" + std::to_string(i)), u"S");
  std::atomic<int> found{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 8; ++i) {
        AttrMap r = KeyRequest();
        std::string user = "user" + std::to_string((i + t) % 8);
        if (svc::_zemirAP_getAttrsMap(kGlobalKeys, nullptr, user.c_str(), nullptr, r) &&
            r[u"zmUserName"] == AnsiToWide(user))
          ++found;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(found.load(), 32);
}

TEST(RecordsOnSlapd, ServerRestartCostsNoFailedLookup) {
  if (!SlapdServer::Available()) GTEST_SKIP() << "slapd is not installed";
  TempPrefix p;
  GetTraceMaker().Open((p.path() + "/t.log").c_str(), 900);
  SlapdServer s;
  std::string err;
  ASSERT_TRUE(s.Start(&err, false)) << err;
  s.ConfigureRegistry();
  auto d = s.Connect(&err);
  std::vector<std::string> report;
  ASSERT_TRUE(d && tools::InstallPartition(*d, report)) << err;
  ResetAPLibBinding();
  AddKey(u"k1", u"anna", u"S1");
  ASSERT_TRUE(s.Restart(&err)) << err;
  AttrMap r = KeyRequest();
  EXPECT_TRUE(svc::_zemirAP_getAttrsMap(kGlobalKeys, nullptr, "anna", nullptr, r)) << ReadFile(p.path() + "/t.log");
  EXPECT_EQ(r[u"zmKeyID"], u"k1");
  s.Stop();
  // Down for good: a failure with the address in the log, not a hang.
  EXPECT_FALSE(svc::_zemirAP_getAttrsMap(kGlobalKeys, nullptr, "anna", nullptr, r));
  EXPECT_NE(ReadFile(p.path() + "/t.log").find("server down at " + s.uri()), std::string::npos);
  ResetAPLibBinding();
}

INSTANTIATE_TEST_SUITE_P(Backends, RecordsTest, ::testing::Values(Backend::Embedded, Backend::Slapd), BackendName);

}  // namespace
}  // namespace zemir::test
