#include <cstring>
#include <vector>

#include "key_fixture.h"
#include "zemir/keys/smartkey.h"

using namespace zemir;

class Profiles : public test::KeyTest {};

TEST_F(Profiles, TableEncodingAndBoundedDecoding) {
  CSmartKey_cpl key;
  BYTE buf[9000];
  EXPECT_EQ(EncodeLogonProfiles(key.LogonProfiles(), buf, sizeof buf), 0);  // empty table

  EXPECT_EQ(key.AddLogonProfile("CORP", "anna", "pw1"), 0);
  EXPECT_EQ(key.AddLogonProfile("CORP", "Bj\xf6rn", nullptr), 1);  // ANSI text becomes UTF-16
  int n = EncodeLogonProfiles(key.LogonProfiles(), buf, sizeof buf);
  // tag, big-endian length, UTF-16LE value
  const BYTE first[] = {0x11, 0, 8, 'C', 0, 'O', 0, 'R', 0, 'P', 0, 0x12, 0, 8, 'a', 0, 'n', 0, 'n', 0, 'a', 0,
                        0x13, 0, 6, 'p', 0, 'w', 0, '1', 0, 0x14, 0, 1, ' '};
  ASSERT_GT(n, static_cast<int>(sizeof first));
  EXPECT_EQ(std::memcmp(buf, first, sizeof first), 0);
  EXPECT_EQ(buf[sizeof first + 3 + 8 + 3 + 4], 0xF6);  // U+00F6 of Björn, low byte first
  EXPECT_EQ(n, 2 * 12 + 8 + 8 + 6 + 1 + 8 + 10 + 0 + 1);

  LogonProfile table[kLogonProfileCount];
  ASSERT_EQ(DecodeLogonProfiles(buf, static_cast<size_t>(n), table), 2);
  EXPECT_STREQ(table[1].user, "Bj\xf6rn");
  EXPECT_STREQ(table[1].options, " ");
  EXPECT_EQ(table[2].user[0], 0);

  // Limits: 39 characters of domain, 48 of user name, 298 bytes of options.
  key.ClearLogonProfiles();
  std::string longName(60, 'x');
  EXPECT_EQ(key.AddLogonProfile(longName.c_str(), longName.c_str(), longName.c_str()), 0);
  std::memset(key.LogonProfiles()[0].options, 'o', 400);
  n = EncodeLogonProfiles(key.LogonProfiles(), buf, sizeof buf);
  EXPECT_EQ(n, 12 + 2 * 39 + 2 * 48 + 2 * 39 + 298);
  EXPECT_EQ(EncodeLogonProfiles(key.LogonProfiles(), buf, 100), -1);

  // A length running past the end, or past its field, is refused.
  ASSERT_EQ(DecodeLogonProfiles(buf, static_cast<size_t>(n), table), 1);
  EXPECT_EQ(DecodeLogonProfiles(buf, 50, table), -1);
  EXPECT_TRUE(Logged("runs past the end"));
  BYTE bad[] = {0x11, 0x01, 0x00, 'x'};
  EXPECT_EQ(DecodeLogonProfiles(bad, sizeof bad, table), -1);
  BYTE huge[600] = {0x11, 0x02, 0x00};
  EXPECT_EQ(DecodeLogonProfiles(huge, sizeof huge, table), -1);

  // The table holds 64 profiles.
  key.ClearLogonProfiles();
  for (int i = 0; i < kLogonProfileCount; ++i) ASSERT_EQ(key.AddLogonProfile("D", "u", "p"), i);
  EXPECT_EQ(key.AddLogonProfile("D", "u", "p"), -1);
}

TEST_F(Profiles, UserKeySerialFromTheKeyList) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\1USBKeyList", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  auto put = [&](const char* name, const char* data) {
    RegSetValueExA(k, name, REG_SZ, reinterpret_cast<const BYTE*>(data), static_cast<DWORD>(std::strlen(data) + 1));
  };
  put("AAAA0001", "");
  put("AAAA0002", "bob@corp");
  put("AAAA0003", "ANNA@CORP");
  put("AAAA0004", "Anna");
  RegCloseKey(k);
  EXPECT_EQ(getUserUSBKeySerial("anna").value_or(""), "AAAA0003");
  EXPECT_TRUE(Logged("getUserUSBKeySerial anna AAAA0003, ANNA@CORP"));
  EXPECT_FALSE(getUserUSBKeySerial("carl").has_value());
  EXPECT_TRUE(Logged("getUserUSBKeySerial carl NULL"));
  EXPECT_FALSE(getUserUSBKeySerial("").has_value());

  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\1USBKeyList", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  RegDeleteValueA(k, "AAAA0003");
  put("AAAA0005", "joanna@corp");  // a substring test: a longer name ending in anna@ matches
  RegCloseKey(k);
  EXPECT_EQ(getUserUSBKeySerial("anna").value_or(""), "AAAA0004");
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\1USBKeyList", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  RegDeleteValueA(k, "AAAA0004");
  RegCloseKey(k);
  EXPECT_EQ(getUserUSBKeySerial("anna").value_or(""), "AAAA0005");
}
