// The settings catalogue and the media catalogue, with their fixed tables.
#include "zemir/common/catalogue.h"

namespace zemir {

namespace {

struct Entry {
  const char16_t* name;
  const char16_t* value;
};

// The published MIFARE Classic factory transport key.
constexpr const char16_t* kMifareFactoryKey = u"FF FF FF FF FF FF";

// Table order is construction order; the map iterates in name order.
constexpr Entry kSettings[] = {
    {u"CheckUSBserial", u"1"},
    {u"WriteAccessLog", u"1"},
    {u"WriteAccessLogPath", u" "},
    {u"CustomCredProv", u" "},
    {u"DisableLog", u"0"},
    {u"LogFilePath", u" "},
    {u"DomainName", u" "},
    {u"Language", u"english"},
    {u"Mifare_keya", kMifareFactoryKey},
    {u"Mifare_keyb", kMifareFactoryKey},
    {u"USB_Key_remove_behaviour", u"0"},
    {u"USBKeyDllName", u" "},
    {u"USBKeyDllNameOther", u" "},
    {u"USBKeyPkcs11", u" "},
    {u"USB_Only_login", u"0"},
    {u"USB_Only_login_pasw", u"0"},
    {u"DisableSafeMode", u"0"},
    {u"Q1", u" "},
    {u"Q2", u" "},
    {u"Q3", u" "},
    {u"A1", u" "},
    {u"A2", u" "},
    {u"A3", u" "},
    {u"nAttempts", u"3"},
    {u"EM_Login_attempts", u"3"},
    {u"2fa-groupname", u" "},
    {u"RemoteIPRequire2fa", u" "},
    {u"1fa-groupname", u" "},
    {u"USB_Only_login_rdp_lan", u" "},
    {u"FaceLogonProfilesPath", u" "},
    {u"FaceLogonSaveFaces", u"0"},
    {u"AllowAutoEnrollKeys", u"0"},
    {u"DisableZemirCenter", u"0"},
    {u"DLP", u"0"},
    {u"DLP-Settings", u" "},
    {u"UseOldSerial", u"0"},
    {u"VersionNumber", u"1"},
    {u"DisableCredUI", u"0"},
    {u"USBLoginPicture", u" "},
    {u"LoginIconText", u" "},
    {u"OfflineADMode", u"0"},
    {u"EnableSubAuth", u"0"},
    {u"2fa-local-accounts", u" "},
    {u"2fa-local-account-keys", u" "},
    {u"lastSettingsUpdateTimeCounter", u"0"},
    {u"serverPublicKey", u" "},
    {u"serverWithSignature", u" "},
    {u"wrongPINtext", u" "},
    {u"wrong2FAlogontext", u" "},
    {u"logBad2faLogon", u"0"},
    {u"logWrongPIN", u"0"},
    {u"1fa-computers", u" "},
    {u"USB_Key_PIN_attempts", u"3"},
};

constexpr Entry kMedia[] = {
    {u"USB flash drive", u" "},
    {u"PKCS#11 token", u"zemir_pkcs.dll"},
    {u"YubiKey", u"zemir_ybk.dll"},
    {u"MiFare 1K RFID", u"zemir_mifare.dll"},
    {u"Tarsel card", u"zemir_mada.dll"},
    {u"Java Card", u"zemir_jcardv2.dll"},
    {u"Google Authenticator (OATH)", u"zemir_otp.dll"},
    {u"RFID devices KCY/pcProx", u"zemir_ed-fs-2044.dll"},
};

}  // namespace

SettingsCatalogue::SettingsCatalogue() {
  for (const auto& e : kSettings) map_.emplace(e.name, e.value);  // emplace keeps the first value
}

MediaCatalogue::MediaCatalogue() {
  for (const auto& e : kMedia) map_.emplace(e.name, e.value);
}

std::u16string MediaCatalogue::FileFor(const std::u16string& displayName) const {
  auto it = map_.find(displayName);
  return it == map_.end() ? std::u16string() : it->second;
}

SettingsCatalogue& GetSettingsCatalogue() {
  static SettingsCatalogue catalogue;
  return catalogue;
}

const MediaCatalogue& GetMediaCatalogue() {
  static const MediaCatalogue catalogue;
  return catalogue;
}

// Built during static initialisation, before the program's entry code runs.
[[maybe_unused]] static const bool kCataloguesBuilt = (GetSettingsCatalogue(), GetMediaCatalogue(), true);

}  // namespace zemir
