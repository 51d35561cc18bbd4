// The diagnostic log: CTraceMaker, Trace, TraceW, TraceCode and the program's version.
#include "zemir/common/trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include "zemir/common/regstore.h"
#include "zemir/platform/codepage.h"
#include "zemir/platform/fs.h"
#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"

#ifndef ZEMIR_FILE_VERSION
#define ZEMIR_FILE_VERSION "0.0.0.0"
#endif

namespace zemir {

namespace {

constexpr size_t kLineBuffer = 15500;
constexpr size_t kMaxPath = 259;

// The version marker that GetModuleVersion finds in a program file: the stand-in for a
// version resource.
constexpr char kVersionMarkerTag[] = "ZemirFileVersion=";
[[gnu::used]] const char kVersionMarker[] = "ZemirFileVersion=" ZEMIR_FILE_VERSION;

struct Buffers {
  size_t trace, traceW;
};
Buffers BuffersFor(TraceVariant v) {
  return v == TraceVariant::Console ? Buffers{2500, 2500} : Buffers{1512, 500};
}

// Rewrites MSVC's "I32"/"I64" length modifiers into their C forms.
std::string PortableFormat(const char* fmt) {
  if (!std::strstr(fmt, "I32") && !std::strstr(fmt, "I64")) return fmt;
  std::string out;
  for (const char* p = fmt; *p; ++p) {
    out.push_back(*p);
    if (*p != '%') continue;
    // copy flags, width and precision
    while (p[1] && std::strchr("-+ #0123456789.*", p[1])) out.push_back(*++p);
    if (p[1] == 'I' && p[2] == '3' && p[3] == '2') p += 3;
    else if (p[1] == 'I' && p[2] == '6' && p[3] == '4') {
      out += "ll";
      p += 3;
    }
  }
  return out;
}

bool ParseVersion(const std::string& v, int out[4]) {
  return std::sscanf(v.c_str(), "%d.%d.%d.%d", &out[0], &out[1], &out[2], &out[3]) == 4;
}

}  // namespace

std::string CTraceMaker::Stamp(int hour, int minute, int second, int ms) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%2d:%2d : %2d:%3d   ", hour, minute, second, ms);
  return buf;
}

namespace {

// The switch as last read, with the change stamps of both hives at that moment: while neither
// hive changed, the values read then still stand, so a line costs no registry reads.
struct SwitchCache {
  std::mutex mu;
  bool valid = false;
  std::string prefix;
  std::uint64_t userStamp = 0, machineStamp = 0;
  bool user = false, machine = false;
};

SwitchCache& TheSwitchCache() {
  static SwitchCache* cache = new SwitchCache;
  return *cache;
}

void ReadSwitch(bool& user, bool& machine) {
  std::uint64_t us = 0, ms = 0;
  bool stamped = RegChangeStamp(HKEY_CURRENT_USER, us) && RegChangeStamp(HKEY_LOCAL_MACHINE, ms);
  std::string prefix = platform::Prefix().string();
  SwitchCache& c = TheSwitchCache();
  {
    std::lock_guard lk(c.mu);
    if (stamped && c.valid && c.prefix == prefix && c.userStamp == us && c.machineStamp == ms) {
      user = c.user;
      machine = c.machine;
      return;
    }
  }
  user = ReadRegInt(HKEY_CURRENT_USER, "Software\\Zemir", "DisableLog", 0) == 1;
  machine = ReadRegInt(HKEY_LOCAL_MACHINE, "Software\\Zemir", "DisableLog", 0) == 1;
  std::lock_guard lk(c.mu);
  c.valid = stamped;
  c.prefix = prefix;
  c.userStamp = us;
  c.machineStamp = ms;
  c.user = user;
  c.machine = machine;
}

}  // namespace

bool CTraceMaker::SwitchOff(bool* offInMachineHive) const {
  bool user = false, machine = false;
  ReadSwitch(user, machine);
  if (offInMachineHive) *offInMachineHive = machine && !user;
  return user || machine;
}

void CTraceMaker::Open(const char* path, DWORD limitKb) {
  limitKb_ = limitKb;
  if (SwitchOff(nullptr)) {
    if (variant_ == TraceVariant::Console && path) unlink(platform::HostPath(path).c_str());
    return;
  }
  std::string p = path ? path : "";
  if (p.size() > kMaxPath) p.resize(kMaxPath);
  path_ = platform::HostPath(p);
  WriteLine("\n\n");
  WriteLine("================================================== ");
  std::string shortV, fullV;
  GetModuleVersion(&shortV, &fullV);
  char line[300];
  std::snprintf(line, sizeof line, "============================= (%s, %s, %s)", BuildDate(), shortV.c_str(),
                fullV.c_str());
  WriteLine(line);
}

void CTraceMaker::WriteLine(const char* text) {
  // Without a stored path nothing is written or deleted, so the switch need not be read.
  if (path_.empty()) return;
  bool machineOnly = false;
  if (SwitchOff(&machineOnly)) {
    if (variant_ == TraceVariant::Console && machineOnly) unlink(path_.c_str());
    return;
  }
  auto openLog = [this] { return ::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644); };
  int fd = openLog();
  if (fd < 0) return;
  // A file over the limit is deleted and started again; the old lines are not kept.
  for (;;) {
    struct stat st{};
    if (fstat(fd, &st) != 0 || static_cast<unsigned long long>(st.st_size) <= static_cast<unsigned long long>(limitKb_) * 1024)
      break;
    ::close(fd);
    unlink(path_.c_str());
    fd = openLog();
    if (fd < 0) return;
  }
  auto t = platform::GetLocalTime();
  std::string line = Stamp(t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  size_t room = kLineBuffer - 1 - line.size() - 2;
  size_t n = text ? strnlen(text, room) : 0;
  line.append(text ? text : "", n);
  line += "\r\n";
  // One write of the whole line to a file opened for appending: lines of several threads
  // and processes never interleave.
  ssize_t w = ::write(fd, line.data(), line.size());
  (void)w;
  ::close(fd);
}

CTraceMaker& GetTraceMaker() {
  static CTraceMaker* maker = new CTraceMaker;  // never freed: logging works during exit
  return *maker;
}

int Trace(const char* format, ...) {
  if (!format) return 0;
  CTraceMaker& tm = GetTraceMaker();
  std::string buf(BuffersFor(tm.variant()).trace, '\0');
  std::string fmt = PortableFormat(format);
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(buf.data(), buf.size(), fmt.c_str(), ap);
  va_end(ap);
  tm.WriteLine(buf.c_str());
  return 0;
}

namespace {

// Formats a wide printf-style message into narrow text in the ANSI code page.
std::string FormatWide(const char16_t* fmt, va_list ap) {
  std::string out;
  std::u16string literal;
  auto flushLiteral = [&] {
    out += WideToAnsi(literal);
    literal.clear();
  };
  for (const char16_t* p = fmt; *p; ++p) {
    if (*p != u'%') {
      literal.push_back(*p);
      continue;
    }
    if (p[1] == u'%') {
      literal.push_back(u'%');
      ++p;
      continue;
    }
    flushLiteral();
    std::string spec = "%";
    ++p;
    while (*p && std::strchr("-+ #0123456789.", static_cast<char>(*p < 128 ? *p : 'x'))) spec.push_back(static_cast<char>(*p++));
    bool isLong = false, isLongLong = false, isShortStr = false;
    if (*p == u'l') {
      ++p;
      if (*p == u'l') { isLongLong = true; ++p; } else { isLong = true; }
    } else if (*p == u'h') {
      isShortStr = true;
      ++p;
    } else if (p[0] == u'I' && p[1] == u'3' && p[2] == u'2') {
      p += 3;
    } else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
      isLongLong = true;
      p += 3;
    }
    char conv = *p < 128 ? static_cast<char>(*p) : '?';
    if (!*p) break;
    char buf[128];
    switch (conv) {
      case 's': {
        std::string s;
        if (isShortStr) {
          const char* a = va_arg(ap, const char*);
          s = a ? a : "(null)";
        } else {
          const char16_t* a = va_arg(ap, const char16_t*);
          s = a ? WideToAnsi(a) : "(null)";
        }
        spec += "s";
        std::string tmp(s.size() + 256, '\0');
        std::snprintf(tmp.data(), tmp.size(), spec.c_str(), s.c_str());
        out += tmp.c_str();
        break;
      }
      case 'S': {
        const char* a = va_arg(ap, const char*);
        spec += "s";
        std::string s = a ? a : "(null)";
        std::string tmp(s.size() + 256, '\0');
        std::snprintf(tmp.data(), tmp.size(), spec.c_str(), s.c_str());
        out += tmp.c_str();
        break;
      }
      case 'c': {
        int c = va_arg(ap, int);
        out += WideToAnsi(std::u16string(1, static_cast<char16_t>(c)));
        break;
      }
      case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': {
        if (isLongLong) {
          spec += "ll";
          spec.push_back(conv);
          std::snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, long long));
        } else if (isLong) {
          spec += "l";
          spec.push_back(conv);
          std::snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, long));
        } else {
          spec.push_back(conv);
          std::snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, int));
        }
        out += buf;
        break;
      }
      case 'p':
        std::snprintf(buf, sizeof buf, "%p", va_arg(ap, void*));
        out += buf;
        break;
      case 'f': case 'g': case 'e':
        spec.push_back(conv);
        std::snprintf(buf, sizeof buf, spec.c_str(), va_arg(ap, double));
        out += buf;
        break;
      default:
        literal.push_back(u'%');
        literal.push_back(*p);
        break;
    }
  }
  flushLiteral();
  return out;
}

}  // namespace

int TraceW(const char16_t* format, ...) {
  if (!format) return 0;
  CTraceMaker& tm = GetTraceMaker();
  va_list ap;
  va_start(ap, format);
  std::string msg = FormatWide(format, ap);
  va_end(ap);
  size_t cap = BuffersFor(tm.variant()).traceW - 1;
  if (msg.size() > cap) msg.resize(cap);
  tm.WriteLine(msg.c_str());
  return 0;
}

void TraceCode(const char* text, DWORD code, const char* text2, DWORD code2) {
  char buf[712];
  if (text2)
    std::snprintf(buf, sizeof buf, "%s, %X, %s, %X", text ? text : "", static_cast<unsigned>(code), text2,
                  static_cast<unsigned>(code2));
  else
    std::snprintf(buf, sizeof buf, "%s, %X", text ? text : "", static_cast<unsigned>(code));
  GetTraceMaker().WriteLine(buf);
}

bool GetModuleVersion(std::string* shortVersion, std::string* fullVersion, const char* file) {
  std::string version;
  if (!file) {
    version = kVersionMarker + (sizeof kVersionMarkerTag - 1);
  } else {
    std::ifstream f(platform::HostPath(file), std::ios::binary);
    if (!f) return false;
    std::string content((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    // The tag also stands alone in the program's strings: take the occurrence followed by a digit.
    size_t begin = std::string::npos;
    for (auto at = content.find(kVersionMarkerTag); at != std::string::npos; at = content.find(kVersionMarkerTag, at + 1)) {
      size_t after = at + sizeof kVersionMarkerTag - 1;
      if (after < content.size() && content[after] >= '0' && content[after] <= '9') {
        begin = after;
        break;
      }
    }
    if (begin == std::string::npos) return false;
    auto end = content.find('\0', begin);
    version = content.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
  }
  int v[4];
  if (!ParseVersion(version, v)) return false;
  char buf[64];
  if (shortVersion) {
    std::snprintf(buf, sizeof buf, "%d.%d", v[0], v[1]);
    *shortVersion = buf;
  }
  if (fullVersion) {
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", v[0], v[1], v[2], v[3]);
    *fullVersion = buf;
  }
  return true;
}

const char* BuildDate() { return __DATE__; }

}  // namespace zemir
