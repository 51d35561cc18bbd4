// The registry store: the product's conventions for single registry values.
#include "zemir/common/regstore.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zemir/common/trace.h"

namespace zemir {

namespace {

using Key = ScopedKey;

// Read opens: the 32-bit view first, then the default view (with `fallbackSam`).
LONG OpenForRead(HKEY root, const char* subkey, REGSAM fallbackSam, Key& k) {
  LONG rc = RegOpenKeyExA(root, subkey, 0, KEY_READ | KEY_WOW64_32KEY, &k.h);
  if (rc == ERROR_SUCCESS) return rc;
  return RegOpenKeyExA(root, subkey, 0, fallbackSam, &k.h);
}

// Write opens: open, else create, each in the 32-bit view and then the default view.
LONG OpenForWrite(HKEY root, const char* subkey, Key& k) {
  LONG rc = RegOpenKeyExA(root, subkey, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &k.h);
  if (rc == ERROR_SUCCESS) return rc;
  rc = RegOpenKeyExA(root, subkey, 0, KEY_ALL_ACCESS, &k.h);
  if (rc == ERROR_SUCCESS) return rc;
  rc = RegCreateKeyExA(root, subkey, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &k.h);
  if (rc == ERROR_SUCCESS) return rc;
  return RegCreateKeyExA(root, subkey, KEY_ALL_ACCESS, &k.h);
}

}  // namespace

char* ReadRegText(HKEY root, const char* subkey, const char* name, char* buf, DWORD size) {
  if (!buf) return buf;
  if (size == 0) return buf;
  std::memset(buf, 0, size - 1);
  if (size <= 3) return buf;
  Key k;
  if (OpenForRead(root, subkey, KEY_READ, k) != ERROR_SUCCESS) return buf;
  DWORD type = 0, cb = size - 3;
  LONG rc = RegQueryValueExA(k.h, name, &type, reinterpret_cast<BYTE*>(buf), &cb);
  if (rc != ERROR_SUCCESS) {
    std::memset(buf, 0, size - 1);
    return buf;
  }
  if (type == REG_DWORD) {
    std::int32_t v = 0;
    std::memcpy(&v, buf, cb < 4 ? cb : 4);
    std::snprintf(buf, size, "%d", v);
  }
  return buf;
}

std::string ReadRegString(const char* subkey, const char* name) {
  std::vector<char> buf(2020, 0);
  Key k;
  DWORD type = 0, cb = 2016;
  LONG rc = OpenForRead(HKEY_LOCAL_MACHINE, subkey, KEY_READ, k);
  if (rc == ERROR_SUCCESS) rc = RegQueryValueExA(k.h, name, &type, reinterpret_cast<BYTE*>(buf.data()), &cb);
  if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) cb = 0;
  if (rc != ERROR_SUCCESS || cb > 1024) {
    Trace("Err ReadReg %s %X %X", name ? name : "", static_cast<unsigned>(rc), static_cast<unsigned>(cb));
    return {};
  }
  if (type == REG_DWORD) {
    DWORD v = 0;
    std::memcpy(&v, buf.data(), cb < 4 ? cb : 4);
    return std::to_string(static_cast<unsigned long>(v));
  }
  return std::string(buf.data(), strnlen(buf.data(), cb));
}

int ReadRegInt(HKEY root, const char* subkey, const char* name, int def) {
  char buf[80] = {};
  Key k;
  if (OpenForRead(root, subkey, KEY_ALL_ACCESS, k) != ERROR_SUCCESS) return def;
  DWORD type = 0, cb = 20;
  if (RegQueryValueExA(k.h, name, &type, reinterpret_cast<BYTE*>(buf), &cb) != ERROR_SUCCESS) return def;
  if (type != REG_SZ) {
    std::uint32_t v;
    std::memcpy(&v, buf, 4);
    return static_cast<int>(v);
  }
  if (buf[0] == '0') return 0;
  if (buf[0] == 0) return def;
  errno = 0;
  long v = std::strtol(buf, nullptr, 10);
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  if (v == 0) return def;
  if (std::strchr(buf, '.')) return def;
  return static_cast<int>(v);
}

DWORD ReadRegHex(const char* subkey, const char* name, BYTE* buf, DWORD* len) {
  if (!len) return 0;
  Key k;
  LONG rc = OpenForRead(HKEY_LOCAL_MACHINE, subkey, KEY_ALL_ACCESS, k);
  if (!buf) {
    DWORD cb = 0;
    if (rc == ERROR_SUCCESS) rc = RegQueryValueExA(k.h, name, nullptr, nullptr, &cb);
    *len = rc == ERROR_SUCCESS ? cb : 0;
    return *len;
  }
  DWORD capacity = *len, type = 0, cb = capacity;
  if (rc == ERROR_SUCCESS) rc = RegQueryValueExA(k.h, name, &type, buf, &cb);
  if (rc != ERROR_SUCCESS) {
    *len = 0;
    return 0;
  }
  if (type == REG_SZ) {
    if (capacity == 0) {
      *len = 0;
      return 0;
    }
    // Terminate the text inside the buffer, decode it, and put the bytes at its start.
    buf[cb < capacity ? cb : capacity - 1] = 0;
    std::vector<BYTE> decoded(capacity / 2 + 1);
    int n = HexDecode(reinterpret_cast<const char*>(buf), decoded.data(), decoded.size());
    DWORD half = cb / 2;
    if (half > static_cast<DWORD>(n)) half = static_cast<DWORD>(n);
    std::memcpy(buf, decoded.data(), half);
    *len = half;
    Trace("ReadReg HEX %s", HexEncode(buf, static_cast<int>(half)).c_str());
    return half;
  }
  *len = cb;
  return cb;
}

std::string ReadProductSubkeyValue(const char* subkey, const char* name) {
  std::string path = std::string("Software\\Zemir\\") + (subkey ? subkey : "");
  Key k;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &k.h);
  if (rc == ERROR_ACCESS_DENIED) {
    rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &k.h);
    if (rc != ERROR_SUCCESS) rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS | KEY_WOW64_32KEY, &k.h);
    if (rc != ERROR_SUCCESS) rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), KEY_ALL_ACCESS, &k.h);
  }
  if (rc != ERROR_SUCCESS) return {};
  char buf[512] = {};
  DWORD cb = 500;
  if (RegQueryValueExA(k.h, name, nullptr, reinterpret_cast<BYTE*>(buf), &cb) != ERROR_SUCCESS) return {};
  return std::string(buf, strnlen(buf, cb));
}

bool WriteRegString(HKEY root, const char* subkey, const char* name, const char* text) {
  Key k;
  LONG rc = OpenForWrite(root, subkey, k);
  if (rc == ERROR_SUCCESS) {
    if (!text) return RegDeleteValueA(k.h, name) == ERROR_SUCCESS;
    rc = RegSetValueExA(k.h, name, REG_SZ, reinterpret_cast<const BYTE*>(text),
                        static_cast<DWORD>(std::strlen(text) + 1));
    if (rc == ERROR_SUCCESS) return true;
  }
  Trace("WriteReg-s failed %X %s %s", static_cast<unsigned>(rc), subkey ? subkey : "", name ? name : "");
  return false;
}

bool WriteRegDword(HKEY root, const char* subkey, const char* name, DWORD value) {
  Key k;
  if (OpenForWrite(root, subkey, k) != ERROR_SUCCESS) return false;
  if (value == 0xFFFFFFFFu) return RegDeleteValueA(k.h, name) == ERROR_SUCCESS;
  return RegSetValueExA(k.h, name, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4) == ERROR_SUCCESS;
}

void WriteRegBinary(HKEY root, const char* subkey, const char* name, const BYTE* data, DWORD len) {
  Key k;
  LONG rc = OpenForWrite(root, subkey, k);
  if (rc == ERROR_SUCCESS) {
    if (!data) {
      RegDeleteValueA(k.h, name);
      return;
    }
    rc = RegSetValueExA(k.h, name, REG_BINARY, data, len);
    if (rc == ERROR_SUCCESS) return;
  }
  Trace("WriteReg failed %X %s %s", static_cast<unsigned>(rc), subkey ? subkey : "", name ? name : "");
}

std::string HexEncode(const BYTE* data, int len) {
  static const char kDigits[] = "0123456789ABCDEF";
  if (len < 1 || !data) return {};
  int n = len >= 4500 ? 4500 : len;
  std::string out;
  out.reserve(static_cast<size_t>(n) * 2 + 2);
  for (int i = 0; i < n; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 15]);
  }
  if (len >= 4500) out += "..";
  return out;
}

int HexDecode(const char* text, BYTE* out, size_t capacity) {
  if (!text || !out) return 0;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return 0;
  };
  size_t n = 0;
  for (const char* p = text; p[0] && p[1] && n < capacity; p += 2) out[n++] = static_cast<BYTE>(digit(p[0]) * 16 + digit(p[1]));
  return static_cast<int>(n);
}

}  // namespace zemir
