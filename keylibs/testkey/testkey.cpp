// A file-backed key library: the token is a folder (registry value TestKeyFolder under
// SOFTWARE\Zemir) with the files
//   pin          the PIN (default "2958")
//   serial       the serial number in hexadecimal (default C0FFEE)
//   reader       the reader name (default "Zemir Test Reader 0")
//   present      exists while the token is inserted
//   init_error   text that InitLibrary returns (none: ready)
//   slot<N>.bin  the data of slot N
//   calls.log    one line per entry point called, for tests
// Failures leave a code in errno, the thread's last-error value of this platform.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "zemir/keys/keylib.h"
#include "zemir/platform/fs.h"
#include "zemir/platform/registry.h"

#define KEYLIB_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kWrongPin = 0x6B;     // the PIN was refused
constexpr int kNotPresent = 21;     // no token in the reader
constexpr int kMoreData = 234;      // the caller's buffer is too small
constexpr int kBadReader = 0x490;   // unknown reader name

std::string gText;   // storage of returned texts
std::string gList;

std::string Folder() {
  using namespace zemir;
  HKEY k = nullptr;
  std::string v;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", 0, KEY_QUERY_VALUE, &k) == ERROR_SUCCESS) {
    char buf[1024] = {};
    DWORD type = 0, cb = sizeof buf - 1;
    if (RegQueryValueExA(k, "TestKeyFolder", &type, reinterpret_cast<BYTE*>(buf), &cb) == ERROR_SUCCESS) v = buf;
    RegCloseKey(k);
  }
  return v.empty() ? v : platform::HostPath(v);
}

std::string ReadText(const std::string& name, const std::string& def) {
  std::ifstream f(Folder() + "/" + name, std::ios::binary);
  if (!f) return def;
  std::stringstream ss;
  ss << f.rdbuf();
  std::string s = ss.str();
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

bool Exists(const std::string& name) { return static_cast<bool>(std::ifstream(Folder() + "/" + name)); }

void Log(const char* what) {
  std::ofstream f(Folder() + "/calls.log", std::ios::app);
  f << what << "\n";
}

std::string ReaderName() { return ReadText("reader", "Zemir Test Reader 0"); }

// The token is usable for this reader name.
bool Ready(const char* reader) {
  if (!reader || ReaderName() != reader) {
    errno = kBadReader;
    return false;
  }
  if (!Exists("present")) {
    errno = kNotPresent;
    return false;
  }
  return true;
}

std::string SlotFile(int slot) { return Folder() + "/slot" + std::to_string(slot) + ".bin"; }

}  // namespace

#ifndef ZEMIR_TESTKEY_PARTIAL
KEYLIB_EXPORT const char* InitLibrary(const char* text) {
  Log("InitLibrary");
  gText = ReadText("init_error", "");
  return gText.c_str();
}
#endif

KEYLIB_EXPORT const char* IsAnyReaderConnected(std::uint32_t flag) {
  Log("IsAnyReaderConnected");
  gList.clear();
  if (Exists("present")) {
    gList = ReaderName();
    gList.push_back('\0');
    if (Exists("second_reader")) {
      gList += ReadText("second_reader", "");
      gList.push_back('\0');
    }
  }
  gList.push_back('\0');
  return gList.data();
}

KEYLIB_EXPORT std::int32_t VerifyPIN(const char* reader, const char* pin) {
  Log("VerifyPIN");
  if (!Ready(reader)) return 0;
  if (!pin || ReadText("pin", "2958") != pin) {
    errno = kWrongPin;
    return 0;
  }
  return 1;
}

KEYLIB_EXPORT std::int32_t ChangePIN(const char* reader, const char* oldPin, const char* newPin) {
  Log("ChangePIN");
  if (!Ready(reader)) return 0;
  if (!oldPin || !newPin || ReadText("pin", "2958") != oldPin) {
    errno = kWrongPin;
    return 0;
  }
  std::ofstream(Folder() + "/pin", std::ios::binary | std::ios::trunc) << newPin;
  return 1;
}

KEYLIB_EXPORT std::int32_t ReadData(const char* reader, std::int32_t slot, unsigned char* data, std::uint32_t* length) {
  Log("ReadData");
  if (!length || !data) {
    errno = 87;
    return 0;
  }
  if (!Ready(reader)) return 0;
  std::ifstream f(SlotFile(slot), std::ios::binary);
  if (!f) {
    *length = 0;  // an empty slot
    return 1;
  }
  std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (bytes.size() > *length) {
    errno = kMoreData;
    return 0;
  }
  std::memcpy(data, bytes.data(), bytes.size());
  *length = static_cast<std::uint32_t>(bytes.size());
  return 1;
}

#ifndef ZEMIR_TESTKEY_PARTIAL
KEYLIB_EXPORT std::int32_t WriteData(const char* reader, std::int32_t slot, unsigned char* data, std::uint32_t* length) {
  Log("WriteData");
  if (!length || !data) {
    errno = 87;
    return 0;
  }
  if (!Ready(reader)) return 0;
  if (Exists("slot_limit") && *length > static_cast<std::uint32_t>(std::atoi(ReadText("slot_limit", "0").c_str()))) {
    errno = kMoreData;
    return 0;
  }
  std::ofstream f(SlotFile(slot), std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data), *length);
  return f ? 1 : 0;
}
#endif

KEYLIB_EXPORT std::int32_t DeleteData(const char* reader, std::int32_t slot) {
  Log("DeleteData");
  if (!Ready(reader)) return 0;
  if (std::remove(SlotFile(slot).c_str()) != 0) {
    errno = 2;
    return 0;
  }
  return 1;
}

KEYLIB_EXPORT void CloseLibrary() {
  Log("CloseLibrary");
  zemir::RegResetConnections();  // the module may be unloaded next: release its registry handles
}

#ifndef ZEMIR_TESTKEY_PARTIAL
KEYLIB_EXPORT std::uint32_t GetReaderSerialNumber(const char* reader) {
  Log("GetReaderSerialNumber");
  if (!Ready(reader)) return 0;
  return static_cast<std::uint32_t>(std::strtoul(ReadText("serial", "C0FFEE").c_str(), nullptr, 16));
}
#endif

KEYLIB_EXPORT std::int32_t IsReaderInserted(const char* reader) {
  Log("IsReaderInserted");
  return reader && ReaderName() == reader && Exists("present") ? 1 : 0;
}

#ifndef ZEMIR_TESTKEY_PARTIAL
KEYLIB_EXPORT std::int32_t DisplaySettingsDialog() { return 0; }
#endif
KEYLIB_EXPORT std::int32_t InitializeKey() { return 0; }
KEYLIB_EXPORT std::int32_t UnblockKey() { return 0; }
