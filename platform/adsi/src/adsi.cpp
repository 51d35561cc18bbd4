// Directory services of the domain over the platform's directory connections.
#include "zemir/platform/adsi.h"

#include <pwd.h>
#include <strings.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>

#include "zemir/platform/codepage.h"
#include "zemir/platform/ldap.h"
#include "zemir/platform/registry.h"

namespace zemir {

using platform::Directory;
using platform::Entry;

namespace {

std::string U8(const std::u16string& w) { return WideToUtf8(w); }
std::u16string W(const std::string& s) { return Utf8ToWide(s); }
bool IEq(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// A server that could not be reached is not asked again for a few seconds, so that the
// several lookups of one operation do not each wait for the network timeout.
struct Unreachable {
  std::mutex mu;
  std::string uri;
  std::chrono::steady_clock::time_point until;
  int code = 0;
};
Unreachable& Down() {
  static Unreachable* u = new Unreachable;
  return *u;
}

HRESULT Connect(std::unique_ptr<Directory>& out, int timeLimit = 0) {
  platform::ConnectOptions o = platform::ProductDomainOptions();
  if (timeLimit > 0) o.operationTimeoutSec = timeLimit;
  auto& d = Down();
  {
    std::lock_guard lk(d.mu);
    if (d.uri == o.uri && std::chrono::steady_clock::now() < d.until) return HResultFromLdap(d.code);
  }
  int code = 0;
  std::string err;
  out = platform::ConnectDirectory(o, &code, &err);
  if (out) return S_OK;
  if (code == platform::ldapcode::kServerDown || code == platform::ldapcode::kTimeout ||
      code == platform::ldapcode::kConnectError) {
    std::lock_guard lk(d.mu);
    d.uri = o.uri;
    d.code = code;
    d.until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  }
  return HResultFromLdap(code ? code : platform::ldapcode::kServerDown);
}

// The domain's naming contexts, without the product's application partition.
std::vector<std::string> DomainContexts(Directory& d) {
  std::vector<std::string> nc, out;
  d.NamingContexts(nc);
  for (const auto& n : nc)
    if (!platform::SameDn(n, "DC=Zemir,DC=com")) out.push_back(n);
  return out;
}

// Splits "GC://x/DN", "LDAP://x/DN", "LDAP://DN" into scheme, server and DN.
bool ParsePath(const std::u16string& wpath, std::string& scheme, std::string& server, std::string& dn) {
  std::string p = U8(wpath);
  size_t sep = p.find("://");
  if (sep == std::string::npos) return false;
  scheme = p.substr(0, sep);
  if (!IEq(scheme, "GC") && !IEq(scheme, "LDAP")) return false;
  std::string rest = p.substr(sep + 3);
  size_t slash = rest.find('/');
  size_t eq = rest.find('=');
  if (slash != std::string::npos && (eq == std::string::npos || slash < eq)) {
    server = rest.substr(0, slash);
    dn = rest.substr(slash + 1);
  } else if (eq != std::string::npos) {
    dn = rest;
  } else {
    server = rest;
  }
  return true;
}

// Active Directory names in a filter, rewritten for a server that has the standard classes.
std::string TranslateItem(const std::string& attr, const std::string& value, bool& valueDone, std::string& newValue) {
  valueDone = false;
  if (IEq(attr, "objectCategory") || IEq(attr, "objectClass")) {
    if (IEq(value, "person") || IEq(value, "user")) {
      valueDone = true;
      newValue = "person";
      return "objectClass";
    }
    if (IEq(value, "group")) {
      valueDone = true;
      newValue = "groupOfNames";
      return "objectClass";
    }
    return "objectClass";
  }
  if (IEq(attr, "sAMAccountName")) return "uid";
  if (IEq(attr, "name")) return "cn";
  if (IEq(attr, "TelephoneMobile")) return "mobile";
  return attr;
}

std::string TranslateFilter(const std::string& f) {
  std::string out;
  size_t i = 0;
  while (i < f.size()) {
    char c = f[i];
    if (c != '(' || i + 1 >= f.size() || strchr("&|!(", f[i + 1])) {
      out += c;
      ++i;
      continue;
    }
    size_t close = f.find(')', i);
    size_t op = f.find_first_of("=<>~", i + 1);
    if (close == std::string::npos || op == std::string::npos || op > close) {
      out += f.substr(i);
      break;
    }
    size_t opEnd = f.find('=', op);
    std::string attr = f.substr(i + 1, op - i - 1);
    std::string value = f.substr(opEnd + 1, close - opEnd - 1);
    bool done = false;
    std::string nv;
    std::string na = TranslateItem(attr, value, done, nv);
    out += "(" + na + f.substr(op, opEnd + 1 - op) + (done ? nv : value) + ")";
    i = close + 1;
  }
  return out;
}

std::string TranslateColumn(const std::string& c) {
  if (IEq(c, "sAMAccountName")) return "uid";
  if (IEq(c, "name")) return "cn";
  if (IEq(c, "TelephoneMobile")) return "mobile";
  return c;
}

}  // namespace

HRESULT HResultFromLdap(int code) {
  if (code == 0) return S_OK;
  if (code == 20 || code == platform::ldapcode::kAlreadyExists) return static_cast<HRESULT>(0x80071392u);
  return static_cast<HRESULT>(0x80070000u | (0x2000u + static_cast<unsigned>(code)));
}

struct DirectorySearch::Impl {
  std::unique_ptr<Directory> dir;
  std::string scheme, server, dn;
  bool ad = false;
  AdsScope scope = AdsScope::Subtree;
  int timeLimit = 0;
  std::vector<std::string> columns;
  std::vector<Entry> rows;
  long cur = -1;
};

DirectorySearch::~DirectorySearch() = default;

HRESULT DirectorySearch::Open(const std::u16string& path, std::unique_ptr<DirectorySearch>& out) {
  out.reset();
  auto impl = std::make_unique<Impl>();
  if (!ParsePath(path, impl->scheme, impl->server, impl->dn)) return E_ADS_BAD_PATHNAME;
  HRESULT hr = Connect(impl->dir);
  if (FAILED(hr)) return hr;
  impl->ad = impl->dir->IsActiveDirectory();
  out.reset(new DirectorySearch);
  out->impl_ = std::move(impl);
  return S_OK;
}

HRESULT DirectorySearch::SetSearchPreference(int pageSize, AdsScope scope, int timeLimitSeconds) {
  if (pageSize < 0 || timeLimitSeconds < 0) return E_INVALIDARG;
  impl_->scope = scope;
  impl_->timeLimit = timeLimitSeconds;
  return S_OK;
}

HRESULT DirectorySearch::ExecuteSearch(const std::u16string& wfilter, const std::vector<std::u16string>& columns) {
  Impl& m = *impl_;
  m.rows.clear();
  m.cur = -1;
  m.columns.clear();
  std::string filter = U8(wfilter);
  if (!m.ad) filter = TranslateFilter(filter);
  std::vector<std::string> attrs;
  for (const auto& c : columns) {
    std::string n = U8(c);
    m.columns.push_back(n);
    if (IEq(n, "ADsPath") || IEq(n, "distinguishedName")) continue;
    attrs.push_back(m.ad ? n : TranslateColumn(n));
  }
  if (attrs.empty()) attrs.push_back("1.1");
  std::vector<std::string> bases;
  if (!m.dn.empty()) bases.push_back(m.dn);
  else bases = DomainContexts(*m.dir);
  platform::Scope sc = m.scope == AdsScope::Base       ? platform::Scope::Base
                       : m.scope == AdsScope::OneLevel ? platform::Scope::OneLevel
                                                       : platform::Scope::Subtree;
  for (const auto& b : bases) {
    std::vector<Entry> part;
    int rc = m.dir->Search(b, sc, filter, attrs, part, 0);
    if (rc != 0 && rc != platform::ldapcode::kSizeLimitExceeded) return HResultFromLdap(rc);
    for (auto& e : part) m.rows.push_back(std::move(e));
  }
  return S_OK;
}

HRESULT DirectorySearch::GetNextRow() {
  if (impl_->cur + 1 >= static_cast<long>(impl_->rows.size())) {
    impl_->cur = static_cast<long>(impl_->rows.size());
    return S_ADS_NOMORE_ROWS;
  }
  ++impl_->cur;
  return S_OK;
}

HRESULT DirectorySearch::GetColumn(const std::u16string& wname, std::vector<std::u16string>& values) {
  values.clear();
  Impl& m = *impl_;
  if (m.cur < 0 || m.cur >= static_cast<long>(m.rows.size())) return E_ADS_COLUMN_NOT_SET;
  const Entry& e = m.rows[m.cur];
  std::string name = U8(wname);
  if (IEq(name, "ADsPath")) {
    std::string prefix = IEq(m.scheme, "GC") ? "GC://" : "LDAP://";
    values.push_back(W(prefix + (m.server.empty() ? "" : m.server + "/") + e.dn));
    return S_OK;
  }
  if (IEq(name, "distinguishedName")) {
    values.push_back(W(e.dn));
    return S_OK;
  }
  auto it = e.attrs.find(m.ad ? name : TranslateColumn(name));
  if (it == e.attrs.end() || it->second.empty()) return E_ADS_COLUMN_NOT_SET;
  for (const auto& v : it->second) values.push_back(W(v));
  return S_OK;
}

namespace {
// ADsGetObject: connects and reads the object the path names.
HRESULT GetObject(const std::u16string& path, const std::vector<std::string>& attrs, std::unique_ptr<Directory>& d,
                  std::string& dn, Entry& entry) {
  std::string scheme, server;
  if (!ParsePath(path, scheme, server, dn) || dn.empty()) return E_ADS_BAD_PATHNAME;
  HRESULT hr = Connect(d);
  if (FAILED(hr)) return hr;
  std::vector<Entry> e;
  int rc = d->Search(dn, platform::Scope::Base, "(objectClass=*)", attrs, e, 0);
  if (rc != 0) return HResultFromLdap(rc);
  if (e.empty()) return HResultFromLdap(platform::ldapcode::kNoSuchObject);
  entry = std::move(e.front());
  return S_OK;
}
}  // namespace

AdsGroup::~AdsGroup() = default;

HRESULT AdsGroup::Get(const std::u16string& path, std::unique_ptr<AdsGroup>& out) {
  out.reset();
  std::unique_ptr<Directory> d;
  std::string dn;
  Entry e;
  HRESULT hr = GetObject(path, {"objectClass"}, d, dn, e);
  if (FAILED(hr)) return hr;
  out.reset(new AdsGroup);
  out->dir_ = std::move(d);
  out->dn_ = dn;
  return S_OK;
}

HRESULT AdsGroup::Add(const std::u16string& memberPath) {
  std::string scheme, server, dn;
  if (!ParsePath(memberPath, scheme, server, dn) || dn.empty()) return E_ADS_BAD_PATHNAME;
  int rc = dir_->Modify(dn_, {{platform::Modification::Add, "member", {dn}}});
  return HResultFromLdap(rc);
}

HRESULT AdsUser::Get(const std::u16string& path, std::unique_ptr<AdsUser>& out) {
  out.reset();
  std::unique_ptr<Directory> d;
  std::string dn;
  Entry e;
  HRESULT hr = GetObject(path, {"mobile", "telephoneNumber"}, d, dn, e);
  if (FAILED(hr)) return hr;
  out.reset(new AdsUser);
  if (auto* m = e.First("mobile")) {
    out->mobile_ = W(*m);
    out->hasMobile_ = true;
  }
  if (auto* n = e.First("telephoneNumber")) {
    out->number_ = W(*n);
    out->hasNumber_ = true;
  }
  return S_OK;
}

HRESULT AdsUser::get_TelephoneMobile(std::u16string& out) const {
  out = mobile_;
  return hasMobile_ ? S_OK : E_ADS_PROPERTY_NOT_FOUND;
}
HRESULT AdsUser::get_TelephoneNumber(std::u16string& out) const {
  out = number_;
  return hasNumber_ ? S_OK : E_ADS_PROPERTY_NOT_FOUND;
}

HRESULT AdsGetTrees(std::vector<std::u16string>& trees) {
  trees.clear();
  std::unique_ptr<Directory> d;
  HRESULT hr = Connect(d);
  if (FAILED(hr)) return hr;
  for (const auto& nc : DomainContexts(*d)) {
    std::string name = platform::DnToDomain(nc);
    if (!name.empty()) trees.push_back(W(name));
  }
  return S_OK;
}

HRESULT AdsGetDomainDNSName(std::u16string& name) {
  std::vector<std::u16string> t;
  HRESULT hr = AdsGetTrees(t);
  if (FAILED(hr)) return hr;
  if (t.empty()) return E_FAIL;
  name = t.front();
  return S_OK;
}

HRESULT AdsGetAnyDCName(std::u16string& name) {
  platform::ConnectOptions o = platform::ProductDomainOptions();
  std::u16string dns;
  HRESULT hr = AdsGetDomainDNSName(dns);
  if (FAILED(hr)) return hr;
  std::string host = o.uri;
  size_t sep = host.find("://");
  if (sep != std::string::npos) {
    host = host.substr(sep + 3);
    host = host.substr(0, host.find_first_of(":/"));
  } else {
    host.clear();
  }
  name = W(host.empty() ? "localhost" : host);
  return S_OK;
}

namespace {
std::string ProductType() {
  HKEY k = nullptr;
  std::string out = "WinNT";
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\ProductOptions", 0, KEY_READ, &k) != 0)
    return out;
  char buf[64];
  DWORD cb = sizeof buf - 1, type = 0;
  if (RegQueryValueExA(k, "ProductType", &type, reinterpret_cast<BYTE*>(buf), &cb) == 0 && type == REG_SZ) {
    buf[cb] = 0;
    out = buf;
  }
  RegCloseKey(k);
  return out;
}

std::u16string FlatName(const std::u16string& dns) {
  std::string s = U8(dns.substr(0, dns.find(u'.')));
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return W(s.substr(0, 15));
}
}  // namespace

DWORD DsRoleGetPrimaryDomainInformation(DsRolePrimaryDomainInfoBasic& info) {
  info = DsRolePrimaryDomainInfoBasic();
  std::string type = ProductType();
  std::u16string dns;
  bool joined = SUCCEEDED(AdsGetDomainDNSName(dns)) && !dns.empty();
  if (IEq(type, "LanmanNt")) info.MachineRole = DsRole_RolePrimaryDomainController;
  else if (IEq(type, "ServerNT")) info.MachineRole = joined ? DsRole_RoleMemberServer : DsRole_RoleStandaloneServer;
  else info.MachineRole = joined ? DsRole_RoleMemberWorkstation : DsRole_RoleStandaloneWorkstation;
  if (joined) {
    info.DomainNameDns = dns;
    info.DomainNameFlat = FlatName(dns);
  }
  return 0;
}

LONG LsaQueryPrimaryDomain(LsaPrimaryDomainInfo& info) {
  info = LsaPrimaryDomainInfo();
  std::u16string dns;
  if (SUCCEEDED(AdsGetDomainDNSName(dns)) && !dns.empty()) {
    info.Name = FlatName(dns);
    info.HasSid = true;
  }
  return 0;
}

DWORD LsaNtStatusToWinError(LONG status) {
  if (status == 0) return 0;
  if (static_cast<DWORD>(status) == 0xC0000022u) return ERROR_ACCESS_DENIED;
  return 317;  // ERROR_MR_MID_NOT_FOUND: no mapping
}

DWORD NetUserGetInfo(const char16_t* server, const char16_t* userName, DWORD level, USER_INFO_10& out) {
  out = USER_INFO_10();
  if (server && *server) return 53;  // ERROR_BAD_NETPATH: only the local database is kept
  if (level != 10) return 124;       // ERROR_INVALID_LEVEL
  if (!userName || !*userName) return NERR_UserNotFound;
  std::string name = WideToUtf8(userName);
  struct passwd pw, *res = nullptr;
  std::vector<char> buf(16384);
  if (getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &res) != 0 || !res) return NERR_UserNotFound;
  std::string gecos = pw.pw_gecos ? pw.pw_gecos : "";
  out.usri10_name = W(pw.pw_name);
  out.usri10_full_name = W(gecos.substr(0, gecos.find(',')));
  return 0;
}

}  // namespace zemir
