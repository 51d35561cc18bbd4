// The read, create and save walks over the settings catalogue, and the update counter.
#include "zemir/directory/settings.h"

#include <cctype>
#include <cstdint>

#include "zemir/common/catalogue.h"
#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/directory/adapter.h"
#include "zemir/platform/codepage.h"

namespace zemir {

namespace {
constexpr const char16_t* kSettingAttr = u"zmGlobalSettingData";
constexpr const char16_t* kSettingClass = u"zmGlobalSetting";

std::string A(const std::u16string& w) { return WideToAnsi(w); }
}  // namespace

bool _zemirAP_ReadSettings() {
  if (!load_APLib()) return false;
  std::string skipNarrow = ReadRegString(kProductKey, "ADAPSkipSetting");
  std::u16string skip = AnsiToWide(skipNarrow);
  bool skipInForce = skip.size() > 1;
  Trace("_zemirAP_ReadSettings. ADAPSkipSetting %s %d", skipNarrow.c_str(), skipInForce ? 1 : 0);
  bool result = true;
  int opened = 0;
  for (auto& [name, value] : GetSettingsCatalogue()) {
    if (skipInForce && skip.find(name) != std::u16string::npos) {
      Trace("Skip %s", A(name).c_str());
      continue;
    }
    std::u16string path = ObjectPath(kGlobalSettings, name);
    ApObject obj;
    if (!obj.Open(path)) {
      result = false;
      if (ApOfflineMode) {
      } else if (opened == 0) {
        ApOfflineMode = true;
        Trace("Setting doesnt exist. Offline mode. %s", A(path).c_str());
      } else {
        Trace("Setting doesnt exist %s", A(path).c_str());
      }
      continue;
    }
    ++opened;
    std::u16string text;
    ApStatus st = ap::GetAttr(obj.Handle(), kSettingAttr, &text);
    if (st != 0) {
      Trace("Can't LDAP_GetAttr(%s)", A(kSettingAttr).c_str());
      LogAdapterError(st);
      result = false;
      continue;
    }
    std::string n = A(name), v = A(text);
    if (!v.empty()) {
      WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, n.c_str(), v.c_str());
      value = text;
      Trace("setting %s:%s", n.c_str(), v.c_str());
    } else {
      Trace("empty setting %s", n.c_str());
    }
  }
  return result;
}

bool _zemirAP_CreateSettings() {
  if (!load_APLib()) return false;
  for (auto& [name, value] : GetSettingsCatalogue()) {
    std::u16string store = value.empty() ? kBlankValue : value;
    std::u16string path = ObjectPath(kGlobalSettings, name);
    {
      ApObject probe;
      if (probe.Open(path)) {
        Trace("Allready exist %s", A(path).c_str());
        continue;
      }
    }
    ApHandle h = 0;
    ApStatus st = ap::CreateObject(&h, path, kSettingClass);
    if (st != 0) {
      Trace("Can't LDAP_CreateObject %s", A(path).c_str());
      LogAdapterError(st);
      return false;
    }
    ApObject obj;
    obj.Reset(h);
    st = ap::SetAttr(h, kSettingAttr, store);
    if (st != 0) {
      Trace("Can't LDAP_SetAttr(%s)", A(store).c_str());
      LogAdapterError(st);
      return false;
    }
    ApFlush(h);
  }
  return true;
}

bool _zemirAP_SaveSettings() {
  if (!load_APLib()) return false;
  bool result = true;
  for (auto& [name, value] : GetSettingsCatalogue()) {
    std::string n = A(name), v = A(value);
    Trace("save key %s - %s.", n.c_str(), v.c_str());
    if (name.find(u"2fa-local-account-keys") != std::u16string::npos) {
      Trace("Skip saving settin:%s", n.c_str());
      continue;
    }
    if (value.empty()) {
      Trace("Skip saving settin:%s val:%s", n.c_str(), v.c_str());
      continue;
    }
    std::u16string path = ObjectPath(kGlobalSettings, name);
    ApObject obj;
    if (!obj.Open(path)) {
      Trace("Can't OpenObject %s", A(path).c_str());
      result = false;
      continue;
    }
    ApStatus st = ap::SetAttr(obj.Handle(), kSettingAttr, value);
    if (st != 0) {
      Trace("Can't %s LDAP_SetAttr(%s)", n.c_str(), v.c_str());
      LogAdapterError(st);
      result = false;
    }
    if (!ApFlush(obj.Handle())) Trace("Can't %s FlushObject(%s)", n.c_str(), v.c_str());
  }
  return result;
}

std::u16string NextSettingsUpdateCounter() {
  std::string text = ReadRegString(kProductKey, "lastSettingsUpdateTimeCounter");
  // strtoul with base 10 on a 32-bit unsigned long: blanks, a sign, digits; overflow gives the
  // largest value and a minus sign negates modulo 2^32.
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::uint64_t n = 0;
  bool overflow = false;
  for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
    n = n * 10 + static_cast<unsigned>(text[i] - '0');
    if (n > 0xFFFFFFFFull) {
      overflow = true;
      n = 0xFFFFFFFFull;
    }
  }
  std::uint32_t v = overflow ? 0xFFFFFFFFu : static_cast<std::uint32_t>(n);
  if (negative && !overflow) v = static_cast<std::uint32_t>(0u - v);
  if (v == 0xFFFFFFFFu) v = 1;
  return AnsiToWide(std::to_string(static_cast<std::uint64_t>(v) + 1));
}

}  // namespace zemir
