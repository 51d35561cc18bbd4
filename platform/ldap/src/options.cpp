// Directory addresses and credentials from the product's registry key.
#include <cstdlib>
#include <cstring>

#include "zemir/platform/fs.h"
#include "zemir/platform/ldap.h"
#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"

namespace zemir::platform {

namespace {

std::string ProductValue(const char* name) {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", 0, KEY_READ | KEY_WOW64_32KEY, &k) != ERROR_SUCCESS) return {};
  char buf[1024];
  DWORD cb = sizeof buf - 1, type = 0;
  std::string out;
  if (RegQueryValueExA(k, name, &type, reinterpret_cast<BYTE*>(buf), &cb) == ERROR_SUCCESS) {
    if (type == REG_DWORD && cb == 4) {
      DWORD v;
      memcpy(&v, buf, 4);
      out = std::to_string(v);
    } else if (type == REG_SZ || type == REG_EXPAND_SZ) {
      buf[cb] = 0;
      out = buf;
    }
  }
  RegCloseKey(k);
  return out;
}

}  // namespace

ConnectOptions ProductDirectoryOptions() {
  ConnectOptions o;
  o.uri = ProductValue("DirectoryURI");
  if (o.uri.empty()) o.uri = "sqlite:" + (Prefix() / "directory.db").string();
  if (o.uri.rfind("sqlite:", 0) == 0 && o.uri.size() > 9 && o.uri[8] == ':') o.uri = "sqlite:" + HostPath(o.uri.substr(7));
  o.bindDn = ProductValue("DirectoryBindDN");
  o.password = ProductValue("DirectoryBindPassword");
  int t = atoi(ProductValue("DirectoryTimeout").c_str());
  if (t > 0 && t <= 600) {
    o.networkTimeoutSec = t;
    o.operationTimeoutSec = t * 4;
  }
  return o;
}

ConnectOptions ProductDomainOptions() {
  ConnectOptions o = ProductDirectoryOptions();
  std::string uri = ProductValue("DomainURI");
  if (!uri.empty()) {
    o.uri = uri;
    if (o.uri.rfind("sqlite:", 0) == 0 && o.uri.size() > 9 && o.uri[8] == ':') o.uri = "sqlite:" + HostPath(o.uri.substr(7));
    o.bindDn.clear();
    o.password.clear();
  }
  std::string dn = ProductValue("DomainBindDN");
  if (!dn.empty()) {
    o.bindDn = dn;
    o.password = ProductValue("DomainBindPassword");
  }
  return o;
}

}  // namespace zemir::platform
