// The directory adapter module: the LDAP_ entry points over the embedded store or an LDAP server,
// chosen by the registry value DirectoryURI under SOFTWARE\Zemir.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zemir/directory/adapter_abi.h"
#include "zemir/platform/codepage.h"
#include "zemir/platform/fs.h"
#include "zemir/platform/ldap.h"
#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"

#define ZEMIR_EXPORT extern "C" __attribute__((visibility("default")))

namespace zemir {
namespace {

using platform::Directory;
using platform::Entry;

std::string U8(const char16_t* w) { return w ? WideToUtf8(w) : std::string(); }

// The adapter's own log, switched on by LDAP_SetLogFile; level 1 errors, 2 also operations.
class AdapterLog {
 public:
  void SetFile(const std::string& f) {
    std::lock_guard lk(mu_);
    file_ = f;
  }
  void SetLevel(unsigned l) { level_ = l; }
  void Write(unsigned level, const char* fmt, ...) __attribute__((format(printf, 3, 4))) {
    if (level > level_) return;
    std::lock_guard lk(mu_);
    if (file_.empty()) return;
    FILE* f = fopen(file_.c_str(), "a");
    if (!f) return;
    auto t = platform::GetLocalTime();
    fprintf(f, "%02d:%02d:%02d.%03d ", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputs("\n", f);
    fclose(f);
  }

 private:
  std::mutex mu_;
  std::string file_;
  unsigned level_ = 0;
};
AdapterLog g_log;

struct Settings {
  platform::ConnectOptions opts;
  bool operator==(const Settings& o) const {
    return opts.uri == o.opts.uri && opts.bindDn == o.opts.bindDn && opts.password == o.opts.password &&
           opts.networkTimeoutSec == o.opts.networkTimeoutSec;
  }
};

Settings ReadSettings() {
  Settings s;
  s.opts = platform::ProductDirectoryOptions();
  return s;
}

// DirectoryURI as stored (empty when missing).
std::string RawDirectoryUri() {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", 0, KEY_READ | KEY_WOW64_32KEY, &k) != ERROR_SUCCESS) return {};
  char buf[1024];
  DWORD cb = sizeof buf - 1, type = 0;
  std::string out;
  if (RegQueryValueExA(k, "DirectoryURI", &type, reinterpret_cast<BYTE*>(buf), &cb) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    buf[cb] = 0;
    out = buf;
  }
  RegCloseKey(k);
  return out;
}

struct Object {
  std::shared_ptr<Directory> dir;
  std::string dn;
  Entry entry;
  std::vector<std::pair<std::string, std::string>> staged;
};

// The last failure of this thread, for LDAP_GetStatusDescription.
thread_local ApStatus t_lastStatus = 0;
thread_local std::string t_lastText;

ApStatus Report(ApStatus st, std::string text) {
  t_lastStatus = st;
  t_lastText = std::move(text);
  g_log.Write(1, "ERROR 0x%08X %s", static_cast<unsigned>(st), t_lastText.c_str());
  return st;
}

class Adapter {
 public:
  std::mutex mu;

  // The connection for the current settings; reconnects when they changed or the last one
  // lost its server.
  ApStatus Connection(std::shared_ptr<Directory>& out) {
    // Every call looks at DirectoryURI (and the prefix); the credentials and timeouts are read
    // again when that changed, when the server was lost, or every two seconds. A walk over
    // thousands of records so reads one registry value per object, and a change of the
    // directory takes effect without a restart.
    auto now = std::chrono::steady_clock::now();
    const char* pe = getenv("ZEMIR_PREFIX");
    std::string prefix = pe ? pe : "";
    std::string uri = RawDirectoryUri();
    if (dir_ && !broken_ && prefix == prefix_ && uri == rawUri_ && now < settingsUntil_) {
      out = dir_;
      return 0;
    }
    Settings s = ReadSettings();
    prefix_ = prefix;
    rawUri_ = uri;
    settingsUntil_ = now + std::chrono::seconds(2);
    if (dir_ && s == settings_ && !broken_) {
      out = dir_;
      return 0;
    }
    dir_.reset();
    int code = 0;
    std::string err;
    auto d = platform::ConnectDirectory(s.opts, &code, &err);
    if (!d) return Report(ApStatusFromLdap(code ? code : platform::ldapcode::kServerDown), err);
    g_log.Write(2, "connected to %s", s.opts.uri.c_str());
    dir_ = std::move(d);
    settings_ = s;
    broken_ = false;
    out = dir_;
    return 0;
  }

  // Turns a directory failure into a status, remembering its text; a lost server makes the
  // next call connect again.
  ApStatus Fail(Directory& d, int code) {
    using namespace platform::ldapcode;
    if (code == kServerDown || code == kTimeout || code == kConnectError || code == kUnavailable || code == kBusy)
      if (&d == dir_.get()) broken_ = true;
    std::string text = d.LastError();
    if (text.empty()) text = platform::LdapCodeText(code);
    return Report(ApStatusFromLdap(code), text);
  }

  // A search on `d`; when the server dropped the connection (it restarted, or an idle
  // connection was closed), connects again and repeats the search once. A timeout is not
  // repeated, so every call stays within its bounded time.
  int Search(std::shared_ptr<Directory>& d, const std::string& base, platform::Scope scope, const std::string& filter,
             const std::vector<std::string>& attrs, std::vector<Entry>& out) {
    int rc = d->Search(base, scope, filter, attrs, out, 0);
    if (rc != platform::ldapcode::kServerDown || d != dir_) return rc;
    broken_ = true;
    std::shared_ptr<Directory> fresh;
    if (Connection(fresh) != 0) return rc;
    g_log.Write(2, "connection to %s lost, connected again", fresh->uri().c_str());
    d = fresh;
    return d->Search(base, scope, filter, attrs, out, 0);
  }

  ApHandle Add(Object o) {
    ApHandle h = ++next_;
    if (h == 0) h = ++next_;
    objects_[h] = std::make_unique<Object>(std::move(o));
    return h;
  }
  Object* Find(ApHandle h) {
    auto it = objects_.find(h);
    return it == objects_.end() ? nullptr : it->second.get();
  }
  bool Remove(ApHandle h) { return objects_.erase(h) != 0; }

 private:
  std::shared_ptr<Directory> dir_;
  Settings settings_;
  std::string prefix_;
  std::string rawUri_;
  std::chrono::steady_clock::time_point settingsUntil_;
  bool broken_ = false;
  ApHandle next_ = 0;
  std::map<ApHandle, std::unique_ptr<Object>> objects_;
};

Adapter& A() {
  static Adapter* a = new Adapter;
  return *a;
}

// "LDAP://CN=x,DC=y" or "LDAP://server/CN=x,DC=y" -> the DN.
bool PathToDn(const char16_t* path, std::string& dn) {
  std::string p = U8(path);
  if (p.size() >= 7 && strncasecmp(p.c_str(), "LDAP://", 7) == 0) p = p.substr(7);
  size_t slash = p.find('/');
  size_t eq = p.find('=');
  if (slash != std::string::npos && (eq == std::string::npos || slash < eq)) p = p.substr(slash + 1);
  dn = p;
  return !dn.empty() && dn.find('=') != std::string::npos;
}

char16_t* Dup(const std::u16string& s) {
  auto* b = static_cast<char16_t*>(malloc((s.size() + 1) * sizeof(char16_t)));
  if (!b) return nullptr;
  memcpy(b, s.data(), s.size() * sizeof(char16_t));
  b[s.size()] = 0;
  return b;
}

// A list: the strings back to back, each with its NUL, then an empty string.
char16_t* MakeList(const std::vector<std::string>& items, std::uint32_t* length) {
  std::u16string all;
  for (const auto& i : items) {
    all += Utf8ToWide(i);
    all.push_back(0);
  }
  all.push_back(0);
  *length = static_cast<std::uint32_t>(all.size());
  auto* b = static_cast<char16_t*>(malloc(all.size() * sizeof(char16_t)));
  if (b) memcpy(b, all.data(), all.size() * sizeof(char16_t));
  return b;
}

// "cn=Name" as returned by a server -> "CN=Name".
std::string ChildName(const std::string& dn) {
  auto rdns = platform::SplitDn(dn);
  if (rdns.empty()) return {};
  std::string r = rdns.front();
  size_t eq = r.find('=');
  if (eq == std::string::npos) return r;
  std::string type = r.substr(0, eq);
  for (char& c : type) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return type + "=" + r.substr(eq + 1);
}

ApStatus ReadEntry(Adapter& a, std::shared_ptr<Directory>& d, const std::string& dn, Entry& out) {
  std::vector<Entry> res;
  int rc = a.Search(d, dn, platform::Scope::Base, "(objectClass=*)", {"*"}, res);
  if (rc != 0) return a.Fail(*d, rc);
  if (res.empty()) return Report(ApStatusFromLdap(platform::ldapcode::kNoSuchObject), "no such object " + dn);
  out = std::move(res.front());
  return 0;
}

ApStatus ListUnder(ApHandle h, const std::string& filter, bool asPaths, char16_t** list, std::uint32_t* length) {
  if (!list || !length) return Report(kApInvalidArg, "no place for the list");
  *list = nullptr;
  *length = 0;
  auto& a = A();
  std::lock_guard lk(a.mu);
  Object* o = a.Find(h);
  if (!o) return Report(kApInvalidHandle, "invalid object handle " + std::to_string(h));
  std::vector<Entry> res;
  int rc = a.Search(o->dir, o->dn, platform::Scope::OneLevel, filter, {"1.1"}, res);
  if (rc != 0) return a.Fail(*o->dir, rc);
  std::vector<std::string> items;
  items.reserve(res.size());
  for (const auto& e : res) items.push_back(asPaths ? "LDAP://" + e.dn : ChildName(e.dn));
  *list = MakeList(items, length);
  if (!*list) return Report(kApOutOfMemory, "out of memory");
  g_log.Write(2, "%s %s %s: %zu", asPaths ? "search" : "children", o->dn.c_str(), filter.c_str(), items.size());
  return 0;
}

// Parses the path, takes the adapter's lock, connects, and runs `op` with the DN.
template <typename Op>
ApStatus WithPath(const char16_t* path, const char* what, Op op) {
  std::string dn;
  if (!PathToDn(path, dn)) return Report(kApInvalidArg, std::string("bad ") + what + " path \"" + U8(path) + "\"");
  auto& a = A();
  std::lock_guard lk(a.mu);
  std::shared_ptr<platform::Directory> d;
  if (ApStatus st = a.Connection(d)) return st;
  return op(a, d, dn);
}

}  // namespace
}  // namespace zemir

using namespace zemir;

ZEMIR_EXPORT ApStatus LDAP_OpenObject(ApHandle* handle, const char16_t* path, void*, void*) {
  if (!handle) return Report(kApInvalidArg, "no place for the handle");
  *handle = 0;
  return WithPath(path, "object", [&](Adapter& a, std::shared_ptr<platform::Directory>& d, const std::string& dn) {
    Object o{d, dn, {}, {}};
    if (ApStatus st = ReadEntry(a, d, dn, o.entry)) return st;
    o.dir = d;  // the connection the entry was read through (a new one after a lost server)
    *handle = a.Add(std::move(o));
    g_log.Write(2, "open %s -> %u", dn.c_str(), *handle);
    return ApStatus{0};
  });
}

ZEMIR_EXPORT ApStatus LDAP_CloseObject(ApHandle handle) {
  auto& a = A();
  std::lock_guard lk(a.mu);
  if (!a.Remove(handle)) return Report(kApInvalidHandle, "invalid object handle " + std::to_string(handle));
  return 0;
}

ZEMIR_EXPORT ApStatus LDAP_FlushObject(ApHandle handle) {
  auto& a = A();
  std::lock_guard lk(a.mu);
  Object* o = a.Find(handle);
  if (!o) return Report(kApInvalidHandle, "invalid object handle " + std::to_string(handle));
  if (o->staged.empty()) return 0;
  std::vector<platform::Modification> mods;
  for (const auto& [n, v] : o->staged) mods.push_back({platform::Modification::Replace, n, {v}});
  int rc = o->dir->Modify(o->dn, mods);
  if (rc != 0) return a.Fail(*o->dir, rc);
  for (const auto& [n, v] : o->staged) o->entry.attrs[n] = {v};
  g_log.Write(2, "flush %s: %zu attributes", o->dn.c_str(), o->staged.size());
  o->staged.clear();
  return 0;
}

ZEMIR_EXPORT ApStatus LDAP_CreateObject(ApHandle* handle, const char16_t* path, const char16_t* className, void*, void*) {
  if (!handle) return Report(kApInvalidArg, "no place for the handle");
  *handle = 0;
  std::string cls = U8(className);
  if (cls.empty()) return Report(kApInvalidArg, "no object class for " + U8(path));
  return WithPath(path, "object", [&](Adapter& a, std::shared_ptr<platform::Directory>& d, const std::string& dn) {
    int rc = d->Add(dn, {{"objectClass", {cls}}});
    if (rc != 0) return a.Fail(*d, rc);
    Object o{d, dn, {}, {}};
    if (ApStatus st = ReadEntry(a, d, dn, o.entry)) return st;
    o.dir = d;  // the connection the entry was read through (a new one after a lost server)
    *handle = a.Add(std::move(o));
    g_log.Write(2, "create %s (%s) -> %u", dn.c_str(), cls.c_str(), *handle);
    return ApStatus{0};
  });
}

ZEMIR_EXPORT ApStatus LDAP_DeleteObject(const char16_t* path, void*, void*) {
  return WithPath(path, "object", [&](Adapter& a, std::shared_ptr<platform::Directory>& d, const std::string& dn) {
    int rc = d->Delete(dn);
    if (rc != 0) return a.Fail(*d, rc);
    g_log.Write(2, "delete %s", dn.c_str());
    return ApStatus{0};
  });
}

ZEMIR_EXPORT ApStatus LDAP_GetAttr(ApHandle handle, const char16_t* name, char16_t** text) {
  if (!text || !name) return Report(kApInvalidArg, "no attribute name or no place for its text");
  *text = nullptr;
  auto& a = A();
  std::lock_guard lk(a.mu);
  Object* o = a.Find(handle);
  if (!o) return Report(kApInvalidHandle, "invalid object handle " + std::to_string(handle));
  std::string n = U8(name);
  for (auto it = o->staged.rbegin(); it != o->staged.rend(); ++it)
    if (strcasecmp(it->first.c_str(), n.c_str()) == 0) {
      *text = Dup(Utf8ToWide(it->second));
      return *text ? 0 : Report(kApOutOfMemory, "out of memory");
    }
  const std::string* v = o->entry.First(n);
  if (!v)
    return Report(ApStatusFromLdap(platform::ldapcode::kNoSuchAttribute), "no attribute " + n + " on " + o->dn);
  *text = Dup(Utf8ToWide(*v));
  return *text ? 0 : Report(kApOutOfMemory, "out of memory");
}

ZEMIR_EXPORT ApStatus LDAP_SetAttr(ApHandle handle, const char16_t* name, const char16_t* text) {
  if (!name || !text) return Report(kApInvalidArg, "no attribute name or value");
  auto& a = A();
  std::lock_guard lk(a.mu);
  Object* o = a.Find(handle);
  if (!o) return Report(kApInvalidHandle, "invalid object handle " + std::to_string(handle));
  std::string n = U8(name);
  if (n.empty()) return Report(kApInvalidArg, "empty attribute name");
  std::string v = U8(text);
  // A directory refuses an empty value; the callers write a blank for "no value".
  if (v.empty()) v = " ";
  for (auto& s : o->staged)
    if (strcasecmp(s.first.c_str(), n.c_str()) == 0) {
      s.second = v;
      return 0;
    }
  o->staged.emplace_back(n, v);
  return 0;
}

ZEMIR_EXPORT ApStatus LDAP_SetVariantAttr(ApHandle handle, const char16_t* name, std::uint32_t type, const void* value) {
  if (!value) return Report(kApInvalidArg, "no value");
  if (type == 0) return LDAP_SetAttr(handle, name, static_cast<const char16_t*>(value));
  if (type == 1) {
    std::u16string s = Utf8ToWide(std::to_string(*static_cast<const std::int32_t*>(value)));
    return LDAP_SetAttr(handle, name, s.c_str());
  }
  return Report(kApNotSupported, "unsupported value type " + std::to_string(type));
}

ZEMIR_EXPORT ApStatus LDAP_GetChildren(ApHandle handle, char16_t** list, std::uint32_t* length) {
  return ListUnder(handle, "(objectClass=*)", false, list, length);
}

ZEMIR_EXPORT ApStatus LDAP_SearchChildren(ApHandle handle, const char16_t* filter, char16_t** list, std::uint32_t* length) {
  return ListUnder(handle, U8(filter), true, list, length);
}

ZEMIR_EXPORT ApStatus LDAP_IsApplicationPartitionExist(const char16_t* path, void*, void*) {
  return WithPath(path, "partition", [&](Adapter& a, std::shared_ptr<platform::Directory>& d, const std::string& dn) {
    std::vector<platform::Entry> res;
    int rc = a.Search(d, dn, platform::Scope::Base, "(objectClass=*)", {"1.1"}, res);
    return rc != 0 ? a.Fail(*d, rc) : ApStatus{0};
  });
}

ZEMIR_EXPORT ApStatus LDAP_GetStatusDescription(ApStatus status, char16_t** text) {
  if (!text) return kApInvalidArg;
  std::string t;
  if (status == t_lastStatus && !t_lastText.empty()) {
    t = t_lastText;
  } else {
    std::uint32_t u = static_cast<std::uint32_t>(status);
    if (status == 0) t = "Success";
    else if (status == kApInvalidHandle) t = "Invalid object handle";
    else if (status == kApInvalidArg) t = "Invalid argument";
    else if (status == kApOutOfMemory) t = "Out of memory";
    else if (status == kApNotSupported) t = "Not supported";
    else if ((u & 0xFFFF0000u) == 0x80070000u && (u & 0xFFFFu) >= 0x2000u && (u & 0xFFFFu) < 0x2100u)
      t = platform::LdapCodeText(static_cast<int>((u & 0xFFFFu) - 0x2000u));
    else t = "Unknown status";
  }
  *text = Dup(Utf8ToWide(t));
  return *text ? 0 : kApOutOfMemory;
}

ZEMIR_EXPORT ApStatus LDAP_FreeBuffer(void* buffer) {
  free(buffer);
  return 0;
}

ZEMIR_EXPORT ApStatus LDAP_SetLogFile(const char16_t* fileName) {
  std::string f = U8(fileName);
  if (f.size() > 2 && f[1] == ':') f = platform::HostPath(f);
  g_log.SetFile(f);
  return 0;
}

ZEMIR_EXPORT ApStatus LDAP_SetLogLevel(std::uint32_t level) {
  g_log.SetLevel(level);
  return 0;
}
