// Domain discovery and account lookup over the directory services of the platform.
#include "zemir/directory/domain.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/directory/records.h"
#include "zemir/platform/adsi.h"
#include "zemir/platform/codepage.h"

namespace zemir {

namespace {

// The process-wide domain text (at least 100 bytes), shared by the console's and the
// service's threads; readers get a copy.
std::mutex g_domainMu;
std::string g_domain;

void SetDomain(const std::string& d) {
  std::lock_guard lk(g_domainMu);
  g_domain = d;
}
std::string Domain() {
  std::lock_guard lk(g_domainMu);
  return g_domain;
}

// Converts to the ANSI code page and cuts to a buffer of `size` bytes (terminator included).
std::string Narrow(const std::u16string& w, size_t size) {
  std::string s = WideToAnsi(w);
  if (s.size() >= size) s.resize(size - 1);
  return s;
}
std::string Cut(std::string s, size_t size) {
  if (s.size() >= size) s.resize(size - 1);
  return s;
}

bool ContainsNoCase(const std::u16string& hay, const std::u16string& needle) {
  auto fold = [](std::u16string s) {
    for (auto& c : s)
      if (c < 0x80) c = static_cast<char16_t>(tolower(static_cast<int>(c)));
    return s;
  };
  return fold(hay).find(fold(needle)) != std::u16string::npos;
}

// One search of the service's account lookup (see isFindUser).
std::string SearchAccount(const std::u16string& path, const std::string& filter, const char* groupName) {
  std::string result;
  std::unique_ptr<DirectorySearch> s;
  HRESULT hr = DirectorySearch::Open(path, s);
  if (FAILED(hr)) {
    Trace("ADsOpenObject err %X", static_cast<unsigned>(hr));
    return {};
  }
  hr = s->SetSearchPreference(100, AdsScope::Subtree, 120);
  if (FAILED(hr)) {
    Trace("SetSearchPreference err %X", static_cast<unsigned>(hr));
    return {};
  }
  hr = s->ExecuteSearch(AnsiToWide(filter), {u"distinguishedName", u"memberOf"});
  if (FAILED(hr)) {
    Trace("ExecuteSearch err %X", static_cast<unsigned>(hr));
    return {};
  }
  bool member = false;
  std::u16string group = groupName ? AnsiToWide(groupName) : std::u16string();
  while (s->GetNextRow() == S_OK) {
    std::vector<std::u16string> v;
    if (s->GetColumn(u"distinguishedName", v) == S_OK && !v.empty())
      result = Cut(WideToAnsi(v[0].substr(0, 259)), 490);
    if (groupName && s->GetColumn(u"memberOf", v) == S_OK) {
      for (const auto& g : v) {
        Trace("attr2: %s", WideToAnsi(g).c_str());
        if (ContainsNoCase(g, group)) member = true;
      }
    }
  }
  if (groupName && !member) result.clear();
  return result;
}

// The service's search by name: "Name", then the account name; the result is the account's
// path "LDAP://<domain>/<DN>", or empty.
std::string FindUserPath(const std::string& domain, const char* name, const char* groupName) {
  std::u16string path = AnsiToWide("GC://" + domain).substr(0, 260);
  std::string value = FilterEscape(name, true);
  std::string filter = "(&(objectClass=user)(objectcategory=person)(Name=" + value + "))";
  std::string dn = SearchAccount(path, filter, groupName);
  if (dn.empty()) {
    Trace("search failed: %s %s", WideToAnsi(path).c_str(), filter.c_str());
    filter = "(&(objectClass=user)(objectcategory=person)(sAMAccountName=" + value + "))";
    Trace("search: %s %s", WideToAnsi(path).c_str(), filter.c_str());
    dn = SearchAccount(path, filter, groupName);
    if (dn.empty()) Trace("search failed2: %s %s", WideToAnsi(path).c_str(), filter.c_str());
  }
  if (dn.empty()) return {};
  return "LDAP://" + domain + "/" + dn;
}

}  // namespace

bool IsComputerInDomain() {
  SetDomain("");
  LsaPrimaryDomainInfo info;
  LONG st = LsaQueryPrimaryDomain(info);
  if (st != 0) {
    Trace("IsComputerInDomain, LsaQueryInformationPolicy failed, GLE %X", LsaNtStatusToWinError(st));
    return false;
  }
  if (info.HasSid) SetDomain(WideToAnsi(info.Name));
  return !Domain().empty();
}

std::string GetDomainTree() {
  char buf[90] = {0};
  ReadRegText(HKEY_LOCAL_MACHINE, kProductKey, "DomainName", buf, sizeof buf);
  SetDomain(buf);
  if (Domain().size() >= 3) {
    Trace("GetDomainTree custom %s", buf);
    return Domain();
  }
  SetDomain("");
  std::vector<std::u16string> trees;
  HRESULT hr = AdsGetTrees(trees);
  if (FAILED(hr)) {
    Trace("GetDomainTree err 2 %X", static_cast<unsigned>(hr));
  } else if (!trees.empty()) {
    Trace("domain %s", WideToAnsi(trees.front()).c_str());
    SetDomain(Narrow(trees.front(), 100));
  }
  if (Domain().empty()) {
    std::u16string name;
    if (SUCCEEDED(AdsGetDomainDNSName(name)) && !name.empty()) {
      SetDomain(Narrow(name, 100));
      Trace("domain2 %s", Domain().c_str());
    } else if (SUCCEEDED(AdsGetAnyDCName(name)) && !name.empty()) {
      SetDomain(Narrow(name, 100));
      Trace("domain3 %s", Domain().c_str());
    }
  }
  if (Domain().empty()) {
    DsRolePrimaryDomainInfoBasic info;
    if (DsRoleGetPrimaryDomainInformation(info) == 0 && info.MachineRole != DsRole_RoleStandaloneWorkstation &&
        info.MachineRole != DsRole_RoleStandaloneServer && !info.DomainNameFlat.empty()) {
      SetDomain(Narrow(info.DomainNameFlat, 90));
      if (!Domain().empty()) Trace("domain4 %s role:%d", Domain().c_str(), static_cast<int>(info.MachineRole));
    }
  }
  if (Domain().empty() && IsComputerInDomain()) Trace("domain5 %s", Domain().c_str());
  return Domain();
}

std::u16string FindADObject(const std::u16string& path, const std::u16string& filter) {
  std::u16string result;
  if (path.empty() || filter.empty()) return result;
  std::unique_ptr<DirectorySearch> s;
  HRESULT hr = DirectorySearch::Open(path, s);
  if (FAILED(hr)) {
    Trace("FindADObject ADsOpenObject err %X", static_cast<unsigned>(hr));
    return result;
  }
  hr = s->SetSearchPreference(100, AdsScope::Subtree, 120);
  if (FAILED(hr)) {
    Trace("SetSearchPreference err %X", static_cast<unsigned>(hr));
    return result;
  }
  hr = s->ExecuteSearch(filter, {u"ADsPath"});
  if (FAILED(hr)) {
    Trace("FindADObject, ExecuteSearch err %X", static_cast<unsigned>(hr));
    return result;
  }
  while (s->GetNextRow() == S_OK) {
    std::vector<std::u16string> v;
    if (s->GetColumn(u"ADsPath", v) != S_OK || v.empty()) continue;
    result = v[0].substr(0, 259);
    if (!result.empty() && result[0] == u'G') result = u"LDAP" + result.substr(2);
    Trace("FindADObject: %s", WideToAnsi(result).c_str());
    break;
  }
  if (result.empty()) Trace("AdObject not found %s", WideToAnsi(filter).c_str());
  return result;
}

std::string FindGroupPath(const std::string& domain, const std::string& groupName) {
  std::string path = Cut("GC://" + domain, 500);
  std::string filter = Cut("(&(objectcategory=group)(Name=" + FilterEscape(groupName, true) + "))", 500);
  std::u16string found = FindADObject(AnsiToWide(path).substr(0, 260), AnsiToWide(filter).substr(0, 260));
  return Narrow(found, 190);
}

bool AddUserTo2faGroup(const std::string& accountName) {
  char group[90] = {0};
  ReadRegText(HKEY_LOCAL_MACHINE, kProductKey, "2fa-groupname", group, sizeof group);
  std::string groupName = strlen(group) < 2 ? std::string("Zemir") : std::string(group);
  std::string domain = Cut(GetDomainTree(), 90);
  if (domain.empty()) return false;
  std::u16string gc = AnsiToWide("GC://" + domain);
  std::u16string groupPath =
      FindADObject(gc, AnsiToWide("(&(objectcategory=group)(Name=" + FilterEscape(groupName, true) + "))"));
  if (groupPath.empty()) return false;
  std::u16string userPath = FindADObject(
      gc, AnsiToWide("(&(objectClass=user)(objectCategory=person)(sAMAccountName=" + FilterEscape(accountName, true) + "))"));
  if (userPath.empty()) return false;
  Trace("Add user %s to group %s", WideToAnsi(userPath).c_str(), WideToAnsi(groupPath).c_str());
  std::unique_ptr<AdsGroup> g;
  HRESULT hr = AdsGroup::Get(groupPath, g);
  if (FAILED(hr)) {
    Trace("ADsGetObject error");
    return false;
  }
  hr = g->Add(userPath);
  if (SUCCEEDED(hr)) {
    Trace("AddMember OK %s", "");
    return true;
  }
  Trace("AddMember failed %s %X", "", static_cast<unsigned>(hr));
  return false;
}

bool isFindUser(const char* name, const char* groupName, std::string* phone) {
  std::string domain = Cut(GetDomainTree(), 90);
  if (domain.empty()) {
    Trace("isFindUser: err. no AD detected.");
    return false;
  }
  std::string path = FindUserPath(domain, name ? name : "", groupName);
  if (path.empty()) {
    Trace("Search failed %s", "");
    return false;
  }
  path = Cut(path, 260);
  Trace("Search %s", path.c_str());
  if (phone) {
    std::unique_ptr<AdsUser> u;
    HRESULT hr = AdsUser::Get(AnsiToWide(path), u);
    if (FAILED(hr)) {
      Trace("ADsGetObject find user error %X", static_cast<unsigned>(hr));
      return false;
    }
    Trace("Getting phone.. %X", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(u.get())));
    phone->clear();
    std::u16string v;
    if (SUCCEEDED(u->get_TelephoneMobile(v))) *phone = Narrow(v, 80);
    if (phone->empty() && SUCCEEDED(u->get_TelephoneNumber(v))) *phone = Narrow(v, 80);
    Trace("Getting phone done %s", phone->c_str());
  }
  return true;
}

}  // namespace zemir
