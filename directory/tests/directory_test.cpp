// Adapter binding, list reading, the settings walks and the update counter.
#include <gtest/gtest.h>

#include "backend.h"
#include "zemir/common/catalogue.h"
#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/directory/adapter.h"
#include "zemir/directory/records.h"
#include "zemir/directory/settings.h"
#include "zemir/platform/codepage.h"

namespace zemir::test {
namespace {

std::string Reg(const char* name) { return ReadRegString(kProductKey, name); }

// Writes a setting object's value straight into the back end.
void SetStored(platform::Directory& d, const std::string& name, const std::string& value) {
  std::string dn = "CN=" + name + ",CN=GlobalSettings,DC=Zemir,DC=com";
  if (d.Modify(dn, {{platform::Modification::Replace, "zmGlobalSettingData", {value}}}) != 0) {
    ASSERT_EQ(d.Add(dn, {{"objectClass", {"zmGlobalSetting"}}, {"zmGlobalSettingData", {value}}}), 0) << d.LastError();
  }
}

std::string Stored(platform::Directory& d, const std::string& name) {
  std::vector<platform::Entry> e;
  if (d.Search("CN=" + name + ",CN=GlobalSettings,DC=Zemir,DC=com", platform::Scope::Base, "", {"zmGlobalSettingData"}, e) != 0 ||
      e.empty() || !e[0].First("zmGlobalSettingData"))
    return "<missing>";
  return *e[0].First("zmGlobalSettingData");
}

TEST(MultiSzList, ReadsAdapterLists) {
  std::vector<std::u16string> l;
  const char16_t two[] = u"CN=a\0CN=bc\0";  // + the array's own terminator: the empty string
  EXPECT_TRUE(MultiSzStr_to_List(two, 12, l));
  EXPECT_EQ(l, (std::vector<std::u16string>{u"CN=a", u"CN=bc"}));
  l.clear();
  EXPECT_TRUE(MultiSzStr_to_List(u"", 1, l));
  EXPECT_TRUE(l.empty());
  // The last string lacks its NUL within the length: false, the earlier ones stay.
  EXPECT_FALSE(MultiSzStr_to_List(two, 10, l));
  EXPECT_EQ(l, std::vector<std::u16string>{u"CN=a"});
  EXPECT_FALSE(MultiSzStr_to_List(two, 0, l));
}

TEST(SettingsCounter, NextValue) {
  TempPrefix p;
  auto next = [](const char* stored) {
    if (stored) WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "lastSettingsUpdateTimeCounter", stored);
    return WideToAnsi(NextSettingsUpdateCounter());
  };
  EXPECT_EQ(next(nullptr), "1");
  EXPECT_EQ(next("7"), "8");
  EXPECT_EQ(next("4294967294"), "4294967295");
  EXPECT_EQ(next("4294967295"), "2");
  EXPECT_EQ(next("99999999999"), "2");
  EXPECT_EQ(next("abc"), "1");
  EXPECT_EQ(next(" 41x"), "42");
}

TEST_P(DirectoryTest, PartitionAndAdapterErrors) {
  ASSERT_TRUE(load_APLib());
  EXPECT_EQ(ap::IsApplicationPartitionExist(PartitionPath()), 0);
  EXPECT_NE(ap::IsApplicationPartitionExist(u"LDAP://DC=Nothing,DC=com"), 0);
  ApObject o;
  EXPECT_FALSE(o.Open(u"LDAP://CN=missing,CN=GlobalKeys,DC=Zemir,DC=com"));
  std::string log = Log();
  EXPECT_NE(log.find("Can't LDAP_OpenObject"), std::string::npos);
  EXPECT_NE(log.find(" [ERROR] no such object"), std::string::npos) << log;
  EXPECT_NE(log.find("(0x80072020)"), std::string::npos) << log;
  // While the offline flag is set a failed open leaves no line.
  MarkLog();
  ApOfflineMode = true;
  EXPECT_FALSE(o.Open(u"LDAP://CN=missing,CN=GlobalKeys,DC=Zemir,DC=com"));
  EXPECT_EQ(Log().find("Can't LDAP_OpenObject"), std::string::npos);
  // ...unless the object belongs to the service, which keeps no such flag.
  ApObject s(ApObject::Variant::Service);
  EXPECT_FALSE(s.Open(u"LDAP://CN=missing,CN=GlobalKeys,DC=Zemir,DC=com"));
  EXPECT_NE(Log().find("Can't LDAP_OpenObject"), std::string::npos);
  ApOfflineMode = false;
  EXPECT_TRUE(o.Open(ContainerPath(kGlobalKeys)));
  EXPECT_NE(o.Handle(), 0u);
}

TEST_P(DirectoryTest, ReadWalkWithoutObjectsGoesOffline) {
  EXPECT_FALSE(_zemirAP_ReadSettings());
  EXPECT_TRUE(ApOfflineMode);
  std::string log = Log();
  size_t first = log.find("Setting doesnt exist. Offline mode. LDAP://CN=");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("Setting doesnt exist. Offline mode.", first + 1), std::string::npos);
  EXPECT_EQ(log.find("Setting doesnt exist LDAP"), std::string::npos);
  // One "Can't LDAP_OpenObject": the first miss; the others are silent.
  size_t c = log.find("Can't LDAP_OpenObject");
  EXPECT_NE(c, std::string::npos);
  EXPECT_EQ(log.find("Can't LDAP_OpenObject", c + 1), std::string::npos);
}

TEST_P(DirectoryTest, CreateSaveAndReadWalks) {
  auto& cat = GetSettingsCatalogue();
  cat.Value(u"2fa-groupname") = u"";  // empty: created as " ", skipped by the save walk
  ASSERT_TRUE(_zemirAP_CreateSettings());
  EXPECT_EQ(_zemirAP_ListChilds(kGlobalSettings).size(), cat.size());
  EXPECT_EQ(Stored(Dir(), "2fa-groupname"), " ");
  MarkLog();
  ASSERT_TRUE(_zemirAP_CreateSettings());
  EXPECT_NE(Log().find("Allready exist LDAP://CN=2fa-groupname,CN=GlobalSettings,DC=Zemir,DC=com"), std::string::npos);

  cat.Value(u"2fa-groupname") = u"";
  cat.Value(u"USB_Only_login") = u"3";
  cat.Value(u"2fa-local-account-keys") = u"local-list";
  cat.Value(u"lastSettingsUpdateTimeCounter") = NextSettingsUpdateCounter();
  SetStored(Dir(), "2fa-groupname", "Directory value");
  MarkLog();
  ASSERT_TRUE(_zemirAP_SaveSettings());
  std::string log = Log();
  EXPECT_NE(log.find("save key USB_Only_login - 3."), std::string::npos);
  EXPECT_NE(log.find("Skip saving settin:2fa-local-account-keys"), std::string::npos);
  EXPECT_NE(log.find("Skip saving settin:2fa-groupname val:"), std::string::npos);
  EXPECT_EQ(Stored(Dir(), "USB_Only_login"), "3");
  EXPECT_EQ(Stored(Dir(), "lastSettingsUpdateTimeCounter"), "1");
  EXPECT_EQ(Stored(Dir(), "2fa-groupname"), "Directory value");
  EXPECT_NE(Stored(Dir(), "2fa-local-account-keys"), "local-list");

  // Read back: values reach the registry and the catalogue; " " is a value; "" is not.
  SetStored(Dir(), "LoginIconText", " ");
  cat = SettingsCatalogue();
  ASSERT_TRUE(_zemirAP_ReadSettings());
  EXPECT_FALSE(ApOfflineMode);
  EXPECT_EQ(Reg("USB_Only_login"), "3");
  EXPECT_EQ(cat.Value(u"2fa-groupname"), u"Directory value");
  EXPECT_EQ(Reg("LoginIconText"), " ");
  EXPECT_EQ(cat.Value(u"LoginIconText"), u" ");
  EXPECT_NE(Log().find("setting USB_Only_login:3"), std::string::npos);

  // A missing object after the first: logged, walk goes on, result false.
  ASSERT_EQ(Dir().Delete("CN=USB_Only_login,CN=GlobalSettings,DC=Zemir,DC=com"), 0);
  MarkLog();
  EXPECT_FALSE(_zemirAP_ReadSettings());
  EXPECT_FALSE(ApOfflineMode);
  EXPECT_NE(Log().find("Setting doesnt exist LDAP://CN=USB_Only_login,CN=GlobalSettings"), std::string::npos);
  EXPECT_EQ(Reg("USB_Only_login"), "3");
  // The save walk does not create it again.
  MarkLog();
  EXPECT_FALSE(_zemirAP_SaveSettings());
  EXPECT_NE(Log().find("Can't OpenObject LDAP://CN=USB_Only_login,CN=GlobalSettings"), std::string::npos);
  EXPECT_EQ(Stored(Dir(), "USB_Only_login"), "<missing>");
}

TEST_P(DirectoryTest, ReadWalkSkipListAndMissingValue) {
  ASSERT_TRUE(_zemirAP_CreateSettings());
  SetStored(Dir(), "USB_Only_login", "5");
  SetStored(Dir(), "USB_Only_login_rdp_lan", "10.1.");
  SetStored(Dir(), "EnableSubAuth", "1");
  // A value the directory does not hold: a failure of that setting only.
  ASSERT_EQ(Dir().Modify("CN=DisableLog,CN=GlobalSettings,DC=Zemir,DC=com",
                         {{platform::Modification::Delete, "zmGlobalSettingData", {}}}),
            0);
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "ADAPSkipSetting", "USB_Only_login_rdp_lan");
  MarkLog();
  EXPECT_FALSE(_zemirAP_ReadSettings());
  std::string log = Log();
  EXPECT_NE(log.find("_zemirAP_ReadSettings. ADAPSkipSetting USB_Only_login_rdp_lan 1"), std::string::npos);
  EXPECT_NE(log.find("Skip USB_Only_login_rdp_lan"), std::string::npos);
  EXPECT_NE(log.find("Skip USB_Only_login\r\n"), std::string::npos);  // a substring of the list
  EXPECT_NE(log.find("Can't LDAP_GetAttr(zmGlobalSettingData)"), std::string::npos);
  EXPECT_EQ(Reg("USB_Only_login"), "");
  EXPECT_EQ(Reg("EnableSubAuth"), "1");

  // One character skips nothing.
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "ADAPSkipSetting", "U");
  MarkLog();
  _zemirAP_ReadSettings();
  EXPECT_NE(Log().find("ADAPSkipSetting U 0"), std::string::npos);
  EXPECT_EQ(Reg("USB_Only_login"), "5");
}

INSTANTIATE_TEST_SUITE_P(Backends, DirectoryTest, ::testing::Values(Backend::Embedded, Backend::Slapd), BackendName);

}  // namespace
}  // namespace zemir::test
