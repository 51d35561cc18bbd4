#include "zemir/common/catalogue.h"

#include <gtest/gtest.h>

#include <vector>

using namespace zemir;

namespace {
std::vector<std::u16string> Names(const SettingsCatalogue& c) {
  std::vector<std::u16string> out;
  for (auto& [n, v] : c) out.push_back(n);
  return out;
}
size_t IndexOf(const std::vector<std::u16string>& v, const std::u16string& s) {
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i] == s) return i;
  return SIZE_MAX;
}
}  // namespace

TEST(SettingsCatalogue, HasTheTableInOrdinalOrder) {
  SettingsCatalogue c;
  EXPECT_EQ(c.size(), 53u);
  EXPECT_EQ(c.Value(u"Language"), u"english");
  EXPECT_EQ(c.Value(u"Mifare_keya"), u"FF FF FF FF FF FF");
  EXPECT_EQ(c.Value(u"USB_Key_PIN_attempts"), u"3");
  EXPECT_EQ(c.Value(u"2fa-groupname"), u" ");
  EXPECT_EQ(c.size(), 53u);
  auto names = Names(c);
  EXPECT_EQ(names.front(), u"1fa-computers");
  EXPECT_LT(IndexOf(names, u"1fa-computers"), IndexOf(names, u"2fa-groupname"));
  EXPECT_LT(IndexOf(names, u"2fa-local-account-keys"), IndexOf(names, u"2fa-local-accounts"));
  EXPECT_LT(IndexOf(names, u"A1"), IndexOf(names, u"AllowAutoEnrollKeys"));
  EXPECT_LT(IndexOf(names, u"DLP"), IndexOf(names, u"DLP-Settings"));
  EXPECT_LT(IndexOf(names, u"DLP-Settings"), IndexOf(names, u"DisableCredUI"));
  EXPECT_LT(IndexOf(names, u"WriteAccessLogPath"), IndexOf(names, u"lastSettingsUpdateTimeCounter"));
}

TEST(SettingsCatalogue, ValueOfAMissingNameInsertsAnEmptyEntry) {
  SettingsCatalogue c;
  std::u16string& v = c.Value(u"language");
  EXPECT_EQ(v, u"");
  EXPECT_EQ(c.size(), 54u);
  auto names = Names(c);
  EXPECT_LT(IndexOf(names, u"Language"), IndexOf(names, u"language"));
  v = u"german";
  EXPECT_EQ(c.Value(u"language"), u"german");
  EXPECT_EQ(c.Value(u"Language"), u"english");
}

TEST(MediaCatalogue, LooksUpDisplayNamesOnly) {
  const MediaCatalogue& m = GetMediaCatalogue();
  EXPECT_EQ(m.size(), 8u);
  EXPECT_EQ(m.FileFor(u"USB flash drive"), u" ");
  EXPECT_EQ(m.FileFor(u"YubiKey"), u"zemir_ybk.dll");
  EXPECT_EQ(m.FileFor(u"zemir_ybk.dll"), u"");
  EXPECT_EQ(m.size(), 8u);
  std::vector<std::u16string> order;
  for (auto& [n, f] : m) order.push_back(n);
  EXPECT_EQ(order, (std::vector<std::u16string>{u"Google Authenticator (OATH)", u"Java Card", u"MiFare 1K RFID",
                                                u"PKCS#11 token", u"RFID devices KCY/pcProx", u"Tarsel card",
                                                u"USB flash drive", u"YubiKey"}));
}
