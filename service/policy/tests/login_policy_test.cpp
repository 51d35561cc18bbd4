// The login policy's modes, lists, address filters, key records and group membership.
#include "zemir/service/login_policy.h"

#include <gtest/gtest.h>

#include "backend.h"
#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/directory/records.h"

namespace zemir::test {
namespace {

void SetMode(int mode) { WriteRegDword(HKEY_LOCAL_MACHINE, kProductKey, "USB_Only_login", static_cast<DWORD>(mode)); }
void SetText(const char* name, const char* value) { WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, name, value); }

TEST(LoginPolicy, PasswordModesAndTheUserList) {
  TempPrefix prefix;
  GetTraceMaker().Open((prefix.path() + "/p.log").c_str(), 900);
  // No mode stored is mode 0: everybody, even an empty name.
  EXPECT_EQ(isUserAllowedToLoginByPassw("", nullptr), 1);
  EXPECT_NE(ReadFile(prefix.path() + "/p.log").find("isUserAllowedToLoginByPassw usbonly:0 rdc:0 \r\n"),
            std::string::npos);

  SetMode(1);
  SetText("USB_Only_login_em_usr", "admin,backup");
  EXPECT_EQ(isUserAllowedToLoginByPassw("admin", nullptr), 1);
  EXPECT_EQ(isUserAllowedToLoginByPassw("adm", nullptr), 1);  // a substring test
  EXPECT_EQ(isUserAllowedToLoginByPassw("Admin", nullptr), 0);
  EXPECT_EQ(isUserAllowedToLoginByPassw("admin@corp.example", nullptr), 0);
  EXPECT_NE(ReadFile(prefix.path() + "/p.log").find("USB_Only_login_em_usr OK admin,backup"), std::string::npos);
  SetText("USB_Only_login_em_usr", nullptr);
  EXPECT_EQ(isUserAllowedToLoginByPassw("admin", nullptr), 0);

  for (const char* mode : {"6", "7", "-1"}) {  // as text: a DWORD of -1 would delete the value
    SetText("USB_Only_login", mode);
    EXPECT_EQ(isUserAllowedToLoginByPassw("anyone", nullptr), 0) << mode;
  }
  // A mode stored as text by the directory synchronisation reads the same.
  SetText("USB_Only_login", "0");
  EXPECT_EQ(isUserAllowedToLoginByPassw("anyone", nullptr), 1);
}

TEST(LoginPolicy, RemoteDesktopFilters) {
  TempPrefix prefix;
  GetTraceMaker().Open((prefix.path() + "/p.log").c_str(), 900);
  SetMode(4);
  // The service's own process is never in a remote session: always allowed.
  EXPECT_EQ(isUserAllowedToLoginByPassw("u", nullptr), 1);

  SessionInfo remote{1, "192.168.1.5"};
  EXPECT_EQ(isUserAllowedToLoginByPassw("u", nullptr, remote), 0);  // mode 4, empty filter
  SetText("USB_Only_login_rdp_lan", "10.1.,192.168.");
  EXPECT_EQ(isUserAllowedToLoginByPassw("u", nullptr, remote), 1);
  EXPECT_EQ(isUserAllowedToLoginByPassw("u", nullptr, SessionInfo{1, "172.16.0.1"}), 0);
  EXPECT_EQ(isUserAllowedToLoginByPassw("u", nullptr, SessionInfo{1, "1"}), 0);  // too short an address
  EXPECT_EQ(isUserAllowedToLoginByPassw("u", nullptr, SessionInfo{1, ""}), 0);
  SetText("USB_Only_login_rdp_lan", "10.1., 192.168.");  // the blank belongs to the piece
  EXPECT_EQ(isUserAllowedToLoginByPassw("u", nullptr, remote), 0);
  EXPECT_EQ(isUserAllowedToLoginByPassw("u", nullptr, SessionInfo{1, "10.1.2.3"}), 1);  // leftmost piece

  SetText("USB_Only_login_rdp_lan", "192.168.");
  SetText("RemoteIPRequire2fa", "192.168.1.");
  EXPECT_EQ(isUserAllowedToLoginByPassw("u", nullptr, remote), 0);
  EXPECT_NE(ReadFile(prefix.path() + "/p.log").find("RemoteIPRequire2fa 192.168.1."), std::string::npos);
  SetText("RemoteIPRequire2fa", "192.");  // four characters or fewer: never applied
  EXPECT_EQ(isUserAllowedToLoginByPassw("u", nullptr, remote), 1);
  EXPECT_NE(ReadFile(prefix.path() + "/p.log").find("Allows to login for 192.168.1.5 (mask 192.168.)"),
            std::string::npos);

  EXPECT_TRUE(OneFactorFilterAllows("a,b,c", "xbx"));
  EXPECT_TRUE(OneFactorFilterAllows("a,b,c", "xax"));
  EXPECT_FALSE(OneFactorFilterAllows("a,,c", "xbx"));
  EXPECT_TRUE(OneFactorFilterAllows("a,", "xa"));
  EXPECT_FALSE(OneFactorFilterAllows("", "anything"));
}

TEST(LoginPolicy, LocalKeyListDecidesModeTwoOutsideTheDirectory) {
  TempPrefix prefix;
  SetMode(2);
  EXPECT_EQ(isUserAllowedToLoginByPassw("", nullptr), 0);
  EXPECT_EQ(isUserAllowedToLoginByPassw("anna@corp.example", nullptr), 1);
  WriteRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\1USBKeyList", "SER-1", "ANNA@corp.example");
  EXPECT_EQ(isUserAllowedToLoginByPassw("anna@corp.example", nullptr), 0);  // looked up as "anna"
  EXPECT_EQ(isUserAllowedToLoginByPassw("bob", nullptr), 1);
}

class LoginPolicyDirectory : public DirectoryTest {};

TEST_P(LoginPolicyDirectory, KeyRecordsAndGroupMembership) {
  WriteRegDword(HKEY_LOCAL_MACHINE, kProductKey, "ZemirADmode", 1);
  SetMode(2);
  EXPECT_EQ(isUserAllowedToLoginByPassw("anna@corp.example", nullptr), 1);  // no key record
  ASSERT_TRUE(_zemirAP_addRecord(u"CN=GlobalKeys", u"key-anna", u"zmGlobalKey",
                                 {{u"zmKeyID", u"key-anna"}, {u"zmUserName", u"anna"}, {u"zmUserKeySerial", u"S-77"}}));
  EXPECT_EQ(isUserAllowedToLoginByPassw("anna@corp.example", nullptr), 0);
  EXPECT_NE(Log().find("_zemirAP_getAttrsMap(username=anna)... "), std::string::npos);
  EXPECT_NE(Log().find("S-77"), std::string::npos);
  // A name with a wildcard from a remote caller matches nothing.
  EXPECT_EQ(isUserAllowedToLoginByPassw("an*", nullptr), 1);

  SetMode(3);
  EXPECT_EQ(isUserAllowedToLoginByPassw("anna", nullptr), 0);   // member of Zemir
  EXPECT_EQ(isUserAllowedToLoginByPassw("carol", nullptr), 1);  // in no group
  EXPECT_EQ(isUserAllowedToLoginByPassw("dave", nullptr), 1);   // only through a nested group
  SetText("2fa-groupname", "ZemirUsers");
  EXPECT_EQ(isUserAllowedToLoginByPassw("bob", nullptr), 0);
  EXPECT_EQ(isUserAllowedToLoginByPassw("anna", nullptr), 1);

  // Mode 5: outside the group with the close-session switch.
  SetMode(5);
  std::int32_t close = 0;
  EXPECT_EQ(isUserAllowedToLoginByPassw("carol", &close), 1);
  EXPECT_EQ(close, 0);
  SessionInfo remote{1, "172.16.0.9"};
  EXPECT_EQ(isUserAllowedToLoginByPassw("carol", &close, remote), 1);
  WriteRegDword(HKEY_LOCAL_MACHINE, kProductKey, "USB_Only_login_WTSClose", 1);
  EXPECT_EQ(isUserAllowedToLoginByPassw("carol", &close, remote), 0);
  EXPECT_EQ(close, 1);
  EXPECT_NE(Log().find("USB_Only_login_WTSClose"), std::string::npos);
  EXPECT_EQ(isUserAllowedToLoginByPassw("bob", nullptr, remote), 0);  // in the group
}

INSTANTIATE_TEST_SUITE_P(Backends, LoginPolicyDirectory, ::testing::Values(Backend::Embedded, Backend::Slapd),
                         BackendName);

}  // namespace
}  // namespace zemir::test
