// The logon profile buffer (tag, big-endian length, value) and the registry list of user keys.
#include <strings.h>

#include <cstring>

#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/keys/smartkey.h"
#include "zemir/platform/codepage.h"

namespace zemir {

namespace {

enum : BYTE { kTagDomain = 0x11, kTagUser = 0x12, kTagPassword = 0x13, kTagOptions = 0x14 };

// Appends one element; false when it does not fit.
bool PutElement(BYTE tag, const BYTE* value, size_t len, BYTE* out, size_t capacity, size_t& pos) {
  if (pos + 3 + len > capacity) return false;
  out[pos] = tag;
  out[pos + 1] = static_cast<BYTE>(len >> 8);
  out[pos + 2] = static_cast<BYTE>(len);
  if (len) std::memcpy(out + pos + 3, value, len);
  pos += 3 + len;
  return true;
}

bool PutWide(BYTE tag, const char* field, size_t fieldCap, size_t limit, BYTE* out, size_t capacity, size_t& pos) {
  std::u16string w = AnsiToWide(std::string(field, strnlen(field, fieldCap)));
  if (w.size() > limit) w.resize(limit);
  BYTE buf[2 * 64];
  for (size_t i = 0; i < w.size(); ++i) {
    buf[2 * i] = static_cast<BYTE>(w[i]);
    buf[2 * i + 1] = static_cast<BYTE>(w[i] >> 8);
  }
  return PutElement(tag, buf, 2 * w.size(), out, capacity, pos);
}

void SetWide(char* field, size_t fieldCap, const BYTE* v, size_t len) {
  std::u16string w;
  for (size_t i = 0; i + 1 < len; i += 2) w.push_back(static_cast<char16_t>(v[i] | v[i + 1] << 8));
  std::string a = WideToAnsi(w);
  if (a.size() > fieldCap - 1) a.resize(fieldCap - 1);
  std::memset(field, 0, fieldCap);
  std::memcpy(field, a.data(), a.size());
}

}  // namespace

int EncodeLogonProfiles(const LogonProfile* table, BYTE* out, size_t capacity) {
  size_t pos = 0;
  for (int i = 0; i < kLogonProfileCount && table[i].user[0]; ++i) {
    const LogonProfile& p = table[i];
    size_t optLen = strnlen(p.options, sizeof p.options);
    if (optLen > 298) optLen = 298;
    if (!PutWide(kTagDomain, p.domain, sizeof p.domain, 39, out, capacity, pos) ||
        !PutWide(kTagUser, p.user, sizeof p.user, 48, out, capacity, pos) ||
        !PutWide(kTagPassword, p.password, sizeof p.password, 39, out, capacity, pos) ||
        !PutElement(kTagOptions, reinterpret_cast<const BYTE*>(p.options), optLen, out, capacity, pos)) {
      Trace("EncodeLogonProfiles: profile %d does not fit in %d bytes", i, static_cast<int>(capacity));
      return -1;
    }
  }
  return static_cast<int>(pos);
}

int DecodeLogonProfiles(const BYTE* data, size_t length, LogonProfile* table) {
  std::memset(table, 0, sizeof(LogonProfile) * kLogonProfileCount);
  int count = 0;
  size_t pos = 0;
  while (pos < length) {
    BYTE tag = data[pos];
    if (tag < kTagDomain || tag > kTagOptions) break;
    if (pos + 3 > length) {
      Trace("DecodeLogonProfiles: element at %d cut short", static_cast<int>(pos));
      return -1;
    }
    size_t len = static_cast<size_t>(data[pos + 1]) << 8 | data[pos + 2];
    const BYTE* v = data + pos + 3;
    if (len > length - pos - 3) {
      Trace("DecodeLogonProfiles: length %d at %d runs past the end (%d)", static_cast<int>(len), static_cast<int>(pos),
            static_cast<int>(length));
      return -1;
    }
    if (tag == kTagDomain) {
      if (count == kLogonProfileCount) break;
      ++count;
    } else if (count == 0) {
      Trace("DecodeLogonProfiles: element %X before a domain", tag);
      return -1;
    }
    LogonProfile& p = table[count - 1];
    size_t limit = tag == kTagDomain ? 78 : tag == kTagUser ? 96 : tag == kTagPassword ? 78 : 298;
    if (len > limit) {
      Trace("DecodeLogonProfiles: length %d of element %X above %d", static_cast<int>(len), tag, static_cast<int>(limit));
      return -1;
    }
    switch (tag) {
      case kTagDomain: SetWide(p.domain, sizeof p.domain, v, len); break;
      case kTagUser: SetWide(p.user, sizeof p.user, v, len); break;
      case kTagPassword: SetWide(p.password, sizeof p.password, v, len); break;
      default:
        std::memset(p.options, 0, sizeof p.options);
        std::memcpy(p.options, v, len);
        break;
    }
    pos += 3 + len;
  }
  return count;
}

std::optional<std::string> getUserUSBKeySerial(const char* user) {
  if (!user || !*user) return std::nullopt;
  std::string at = std::string(user) + "@";
  HKEY k = nullptr;
  std::vector<RegValue> values;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\1USBKeyList", 0, KEY_READ | KEY_WOW64_32KEY, &k) ==
      ERROR_SUCCESS) {
    RegListValues(k, values);
    RegCloseKey(k);
  }
  for (const RegValue& v : values) {
    if (v.type != REG_SZ && v.type != REG_EXPAND_SZ) continue;
    if (v.data.size() <= 1) continue;
    std::string data(reinterpret_cast<const char*>(v.data.data()), strnlen(reinterpret_cast<const char*>(v.data.data()), v.data.size()));
    std::string foldedData = data, foldedAt = at;
    for (char& c : foldedData) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : foldedAt) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (foldedData.find(foldedAt) != std::string::npos || strcasecmp(data.c_str(), user) == 0) {
      Trace("getUserUSBKeySerial %s %s, %s", user, v.name.c_str(), data.c_str());
      return v.name;
    }
  }
  Trace("getUserUSBKeySerial %s NULL", user);
  return std::nullopt;
}

}  // namespace zemir
