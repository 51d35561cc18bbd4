// Narrow/wide conversions through iconv, with WideCharToMultiByte's "?" for the unmappable.
#include "zemir/platform/codepage.h"

#include <errno.h>
#include <iconv.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"

namespace zemir {

namespace {

std::mutex g_acpMutex;
std::string g_acpPrefix;
UINT g_acp = 0;

std::string IconvName(UINT cp) {
  if (cp == CP_UTF8) return "UTF-8";
  if (cp == 20127) return "ASCII";
  if (cp >= 28591 && cp <= 28606) return "ISO-8859-" + std::to_string(cp - 28590);
  return "CP" + std::to_string(cp);
}

bool CodePageUsable(UINT cp) {
  iconv_t cd = iconv_open("UTF-16LE", IconvName(cp).c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

UINT Resolve(UINT cp) { return cp == CP_ACP ? GetACP() : cp; }

// One converter per direction and code page per thread: iconv_t is not thread-safe.
class Converter {
 public:
  Converter(const std::string& to, const std::string& from) : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    return cd_;
  }

 private:
  iconv_t cd_;
};

Converter& ConverterFor(UINT cp, bool toWide) {
  thread_local std::map<std::pair<UINT, bool>, std::unique_ptr<Converter>> cache;
  auto& c = cache[{cp, toWide}];
  if (!c) {
    std::string name = IconvName(cp);
    c = toWide ? std::make_unique<Converter>("UTF-16LE", name) : std::make_unique<Converter>(name, "UTF-16LE");
  }
  return *c;
}

}  // namespace

UINT GetACP() {
  std::string prefix = platform::Prefix().string();
  std::lock_guard lk(g_acpMutex);
  if (g_acp && prefix == g_acpPrefix) return g_acp;
  UINT cp = 1252;
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", 0, KEY_QUERY_VALUE,
                    &k) == ERROR_SUCCESS) {
    char buf[32] = {};
    DWORD type = 0, cb = sizeof buf - 1;
    if (RegQueryValueExA(k, "ACP", &type, reinterpret_cast<BYTE*>(buf), &cb) == ERROR_SUCCESS) {
      long v = 0;
      if (type == REG_DWORD && cb == 4) v = static_cast<long>(*reinterpret_cast<DWORD*>(buf));
      else if (type == REG_SZ || type == REG_EXPAND_SZ) v = std::strtol(buf, nullptr, 10);
      if (v > 0 && v < 65536 && CodePageUsable(static_cast<UINT>(v))) cp = static_cast<UINT>(v);
    }
    RegCloseKey(k);
  }
  g_acp = cp;
  g_acpPrefix = prefix;
  return cp;
}

void ResetACPCache() {
  std::lock_guard lk(g_acpMutex);
  g_acp = 0;
}

std::string WideToAnsi(std::u16string_view wide, UINT codepage) {
  std::string out;
  if (wide.empty()) return out;
  Converter& conv = ConverterFor(Resolve(codepage), false);
  if (!conv.ok()) {  // no converter: keep ASCII, "?" for the rest
    for (char16_t c : wide) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
  }
  iconv_t cd = conv.get();
  auto* in = const_cast<char*>(reinterpret_cast<const char*>(wide.data()));
  size_t inLeft = wide.size() * 2;
  char buf[1024];
  while (inLeft > 0) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, static_cast<size_t>(o - buf));
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // Unmappable or malformed (a lone surrogate): one "?" per character, skipping a whole
    // surrogate pair when there is one.
    out.push_back('?');
    auto* cur = reinterpret_cast<const char16_t*>(in);
    size_t skip = 2;
    if (inLeft >= 4 && cur[0] >= 0xD800 && cur[0] <= 0xDBFF && cur[1] >= 0xDC00 && cur[1] <= 0xDFFF) skip = 4;
    in += skip;
    inLeft -= skip;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  // Flush any shift state.
  char* o = buf;
  size_t oLeft = sizeof buf;
  iconv(cd, nullptr, nullptr, &o, &oLeft);
  out.append(buf, static_cast<size_t>(o - buf));
  return out;
}

std::u16string AnsiToWide(std::string_view narrow, UINT codepage) {
  std::u16string out;
  if (narrow.empty()) return out;
  UINT cp = Resolve(codepage);
  Converter& conv = ConverterFor(cp, true);
  if (!conv.ok()) {
    for (char c : narrow) out.push_back(static_cast<unsigned char>(c));
    return out;
  }
  iconv_t cd = conv.get();
  auto* in = const_cast<char*>(narrow.data());
  size_t inLeft = narrow.size();
  char16_t buf[512];
  while (inLeft > 0) {
    char* o = reinterpret_cast<char*>(buf);
    size_t oLeft = sizeof buf;
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, static_cast<size_t>(o - reinterpret_cast<char*>(buf)) / 2);
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // A byte the code page leaves undefined (or a cut multi-byte sequence): single-byte code
    // pages map it to U+00xx as Windows does; others give U+FFFD.
    unsigned char b = static_cast<unsigned char>(*in);
    out.push_back(cp == CP_UTF8 || cp == 932 || cp == 936 || cp == 949 || cp == 950 ? u'\uFFFD' : char16_t(b));
    ++in;
    --inLeft;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
  }
  return out;
}

}  // namespace zemir
