// Flash drive serial numbers: the disk-interface methods DSN2 to DSN4 and the volume serial.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "zemir/common/trace.h"
#include "zemir/keys/smartkey.h"
#include "zemir/platform/disk.h"
#include "zemir/platform/drives.h"
#include "zemir/platform/module.h"

namespace zemir {

namespace {

struct MethodSpec {
  const char* tag;        // tag line
  const char* result;     // tag of the result lines
  bool lowerCase;         // a to f belong to the character set
  size_t maxCollected;
  enum { None, Sum16, Sum16Amp, Positional } checksum;
  bool fallbackIsStop;    // DSN2: the fallback character is where collecting stopped
};

const MethodSpec& Spec(DsnMethod m) {
  static const MethodSpec specs[] = {
      {"USB DSN2: %s", "USB DSN2", false, 12, MethodSpec::None, true},
      {"USB DSN2: %s", "USB DSN2", false, 12, MethodSpec::Sum16, false},
      {"USB DSN3: %s", "USB DSN2", true, 12, MethodSpec::Sum16, false},
      {"USB DSN3: %s", "USB DSN3", true, 12, MethodSpec::Sum16Amp, false},
      {"USB DSN4: %s", "USB DSN4", true, 40, MethodSpec::Positional, false},
  };
  return specs[static_cast<int>(m)];
}

bool InSet(char c, bool lower) {
  if (c >= '0' && c <= '9') return true;
  if (c >= 'A' && c <= 'F') return true;
  if (lower && c >= 'a' && c <= 'f') return true;
  return c == '&' || c == '#';
}

// C strtol with base 16 on a 32-bit long: texts above 7FFFFFFF give 7FFFFFFF.
DWORD HexValue(const std::string& digits) {
  long long v = 0;
  for (char c : digits) {
    int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    v = v * 16 + d;
    if (v > 0x7FFFFFFF) return 0x7FFFFFFF;
  }
  return static_cast<DWORD>(v);
}

void ResultLine(const MethodSpec& s, const std::string* out, DWORD value, DWORD checksum) {
  if (s.checksum == MethodSpec::None) {
    if (out) Trace("%s: %s, %X", s.result, out->c_str(), value);
    else Trace("%s: %X", s.result, value);
  } else {
    if (out) Trace("%s: %s, %X %X", s.result, out->c_str(), value, checksum);
    else Trace("%s: %X %X", s.result, value, checksum);
  }
}

DWORD DiskMethod(DsnMethod m, const char* drivePath, std::string* out) {
  std::string volume = std::string("\\\\.\\") + (drivePath && *drivePath ? drivePath[0] : '?') + ":";
  DWORD volumeNumber = 0;
  bool known = false;
  if (!platform::QueryDeviceNumber(volume, &volumeNumber, &known)) {
    Trace("USB DSN2: Err0 %X %s", GetLastError(), volume.c_str());
    return 0;
  }
  if (!known) volumeNumber = 0;  // a failed request counts as 0
  std::vector<platform::DiskInterface> disks;
  if (!platform::ListDiskInterfaces(disks)) {
    Trace("USB DSN2: Err1 %X", GetLastError());
    return 0;
  }
  std::string diskPath;
  for (const platform::DiskInterface& d : disks) {
    DWORD size = d.DetailSize();
    if (size == 0 || size == 1024) continue;
    DWORD n = 0;
    bool k = false;
    if (!platform::QueryDeviceNumber(d.devicePath, &n, &k)) continue;
    if ((k ? n : 0) == volumeNumber) {
      diskPath = d.devicePath;
      break;
    }
  }
  if (diskPath.empty()) return 0;
  return DsnFromInterfacePath(m, diskPath, out);
}

}  // namespace

DWORD DsnFromInterfacePath(DsnMethod m, const std::string& path, std::string* out) {
  const MethodSpec& s = Spec(m);
  Trace(s.tag, path.c_str());
  size_t under = path.find('_');
  size_t hash = under == std::string::npos ? std::string::npos : path.find('#', under);
  if (hash == std::string::npos) {
    if (out) out->clear();
    ResultLine(s, out, 0, 0);
    return 0;
  }
  Trace("%s", path.c_str() + hash);
  const char* after = path.c_str() + hash + 1;

  // Collect the serial characters.
  std::string collected;
  char stop = 0;
  const char* p = after;
  for (; *p; ++p) {
    if (*p == '&' || *p == '#') break;
    if (!InSet(*p, s.lowerCase)) continue;
    if (collected.empty() && *p == '0') continue;
    collected.push_back(*p);
    if (collected.size() >= s.maxCollected) break;
  }
  stop = *p;
  if (out) *out = collected;

  DWORD checksum = 0;
  switch (s.checksum) {
    case MethodSpec::None:
      break;
    case MethodSpec::Sum16:
    case MethodSpec::Sum16Amp:
      for (int j = 0; j < 16 && after[j]; ++j) {
        if (after[j] == '#' || (s.checksum == MethodSpec::Sum16Amp && after[j] == '&')) break;
        checksum += static_cast<DWORD>(static_cast<int>(static_cast<signed char>(after[j])));
      }
      break;
    case MethodSpec::Positional:
      for (int j = 0; j <= 40 && after[j]; ++j) {
        if (after[j] == '#' || after[j] == '&') break;
        checksum += static_cast<DWORD>(static_cast<int>(static_cast<signed char>(after[j])) + j);
      }
      break;
  }
  DWORD value = HexValue(collected.substr(0, 8)) + checksum;

  if (value == 0 || value == 0x7FFFFFFF || value == 0x80000000u) {
    char c = s.fallbackIsStop ? stop : '#';
    if (c) {
      BYTE b = static_cast<BYTE>(c);
      value = static_cast<DWORD>(b) | static_cast<DWORD>(static_cast<BYTE>(b + 2)) << 8 |
              static_cast<DWORD>(static_cast<BYTE>(b + 4)) << 16 | static_cast<DWORD>(static_cast<BYTE>(b + 6)) << 24;
      if (out) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%x", value);
        *out = std::string(hex).substr(0, 8);
      } else {
        Trace("%s: %X %X", s.result, value, checksum);
        return value;
      }
    }
  }
  ResultLine(s, out, value, checksum);
  return value;
}

DWORD DSN2(const char* d, std::string* out) { return DiskMethod(DsnMethod::Dsn2, d, out); }
DWORD DSN2Sum(const char* d, std::string* out) { return DiskMethod(DsnMethod::Dsn2Sum, d, out); }
DWORD DSN3(const char* d, std::string* out) { return DiskMethod(DsnMethod::Dsn3, d, out); }
DWORD DSN3Amp(const char* d, std::string* out) { return DiskMethod(DsnMethod::Dsn3Amp, d, out); }
DWORD DSN4(const char* d, std::string* out) { return DiskMethod(DsnMethod::Dsn4, d, out); }

struct DiskSectorWinNT::Impl {
  platform::VolumeHandle volume;
};

DiskSectorWinNT::DiskSectorWinNT() : impl_(new Impl) {}
DiskSectorWinNT::~DiskSectorWinNT() { delete impl_; }

bool DiskSectorWinNT::Open(const char* drive, bool readOnlyFallback) {
  if (!drive || !*drive) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  std::string path = std::string("\\\\.\\") + drive[0] + ":";
  if (impl_->volume.Open(path, true)) return true;
  return readOnlyFallback && impl_->volume.Open(path, false);
}

void DiskSectorWinNT::Close() { impl_->volume.Close(); }

bool DiskSectorWinNT::Read(std::uint64_t offset, BYTE* buffer, DWORD length) {
  return impl_->volume.Read(offset, buffer, length);
}

bool DiskSectorWinNT::Write(std::uint64_t offset, const BYTE* buffer, DWORD length) {
  return impl_->volume.Write(offset, buffer, length);
}

DWORD GetUSBStickSerial(const char* driveRoot) {
  if (!driveRoot) return 0;
  BYTE sector[512];
  bool read = false;
  {
    DiskSectorWinNT disk;
    if (disk.Open(driveRoot, true)) {
      read = disk.Read(0, sector, sizeof sector);
      disk.Close();
    }
  }
  if (read) {
    struct Sig {
      const char* text;
      size_t at, serialAt;
    };
    static const Sig sigs[] = {{"FAT32", 82, 67}, {"FAT", 54, 39}, {"NTFS", 3, 72}};
    for (const Sig& g : sigs) {
      if (std::memcmp(sector + g.at, g.text, std::strlen(g.text)) == 0) {
        const BYTE* p = sector + g.serialAt;
        return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
               static_cast<DWORD>(p[3]) << 24;
      }
    }
  }
  std::string root = std::string(1, driveRoot[0]) + ":\\";
  DWORD serial = 0;
  if (!platform::GetVolumeInformationA(root.c_str(), &serial)) {
    Trace("GetUSBStickSerial fail GetVolumeInformation %X", GetLastError());
    return 0;
  }
  return serial;
}

}  // namespace zemir
