// The LDAP back end: a libldap connection with bounded network and operation timeouts.
#include <ldap.h>
#include <sys/time.h>

#include <cstring>

#include "embedded.h"
#include "filter.h"

namespace zemir::platform {

namespace {

// libldap's client-side codes are negative; the interface uses the positive LDAPv2 numbers.
int MapCode(int rc) {
  switch (rc) {
    case LDAP_SERVER_DOWN: return ldapcode::kServerDown;
    case LDAP_LOCAL_ERROR: return ldapcode::kLocalError;
    case LDAP_ENCODING_ERROR: return ldapcode::kEncodingError;
    case LDAP_DECODING_ERROR: return 84;
    case LDAP_TIMEOUT: return ldapcode::kTimeout;
    case LDAP_AUTH_UNKNOWN: return ldapcode::kAuthUnknown;
    case LDAP_FILTER_ERROR: return ldapcode::kFilterError;
    case LDAP_PARAM_ERROR: return ldapcode::kParamError;
    case LDAP_NO_MEMORY: return ldapcode::kNoMemory;
    case LDAP_CONNECT_ERROR: return ldapcode::kConnectError;
    case LDAP_NOT_SUPPORTED: return ldapcode::kNotSupported;
    default: return rc < 0 ? ldapcode::kOther : rc;
  }
}

// The uSNCreated stand-in: the 60-bit creation time of a version-1 entryUUID, which the server
// assigns once when it creates the entry and which grows with creation order.
std::string UuidTime(const std::string& uuid) {
  if (uuid.size() != 36 || uuid[14] != '1') return {};
  std::string hex = uuid.substr(15, 3) + uuid.substr(9, 4) + uuid.substr(0, 8);
  unsigned long long v = strtoull(hex.c_str(), nullptr, 16);
  return std::to_string(v);
}

class LdapServer final : public Directory {
 public:
  ~LdapServer() override {
    if (ld_) ldap_unbind_ext_s(ld_, nullptr, nullptr);
  }

  int Connect(const ConnectOptions& o) {
    uri_ = o.uri;
    opts_ = o;
    int rc = ldap_initialize(&ld_, o.uri.c_str());
    if (rc != LDAP_SUCCESS) return Fail(MapCode(rc), "bad directory address " + o.uri + ": " + ldap_err2string(rc));
    int version = LDAP_VERSION3;
    ldap_set_option(ld_, LDAP_OPT_PROTOCOL_VERSION, &version);
    ldap_set_option(ld_, LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    struct timeval net = {o.networkTimeoutSec, 0};
    ldap_set_option(ld_, LDAP_OPT_NETWORK_TIMEOUT, &net);
    struct timeval op = {o.operationTimeoutSec, 0};
    ldap_set_option(ld_, LDAP_OPT_TIMEOUT, &op);
    int limit = o.operationTimeoutSec;
    ldap_set_option(ld_, LDAP_OPT_TIMELIMIT, &limit);
    bool external = o.bindDn.empty() && o.uri.rfind("ldapi://", 0) == 0;
    if (external) {
      // EXTERNAL takes the identity of the socket's peer; an empty authorisation identity.
      struct berval empty = {0, const_cast<char*>("")};
      rc = ldap_sasl_bind_s(ld_, nullptr, "EXTERNAL", &empty, nullptr, nullptr, nullptr);
    } else {
      struct berval cred;
      cred.bv_val = const_cast<char*>(o.password.c_str());
      cred.bv_len = o.password.size();
      rc = ldap_sasl_bind_s(ld_, o.bindDn.empty() ? nullptr : o.bindDn.c_str(), LDAP_SASL_SIMPLE, &cred, nullptr,
                            nullptr, nullptr);
    }
    if (rc != LDAP_SUCCESS) {
      std::string what = rc == LDAP_INVALID_CREDENTIALS
                             ? "the directory refused the bind name or password" + (o.bindDn.empty() ? std::string() : " of " + o.bindDn)
                             : Diagnostic(rc);
      return Fail(MapCode(rc), what + " at " + o.uri);
    }
    return Ok();
  }

  int Search(const std::string& base, Scope scope, const std::string& filterText, const std::vector<std::string>& attrs,
             std::vector<Entry>& out, int sizeLimit) override {
    out.clear();
    std::vector<std::string> want = attrs;
    bool all = want.empty();
    for (const auto& a : attrs) all = all || a == "*";
    bool addTimes = all;
    for (const auto& a : attrs) {
      std::string l = filter::Fold(a);
      if (l == "whencreated" || l == "usncreated") addTimes = true;
    }
    if (all && want.empty()) want.push_back("*");
    if (addTimes) {
      want.push_back("createTimestamp");
      want.push_back("entryUUID");
    }
    std::vector<char*> list;
    for (auto& a : want) list.push_back(a.data());
    list.push_back(nullptr);
    int sc = scope == Scope::Base ? LDAP_SCOPE_BASE : scope == Scope::OneLevel ? LDAP_SCOPE_ONELEVEL : LDAP_SCOPE_SUBTREE;
    struct timeval tv = {opts_.operationTimeoutSec, 0};
    LDAPMessage* res = nullptr;
    int rc = ldap_search_ext_s(ld_, base.c_str(), sc, filterText.empty() ? "(objectClass=*)" : filterText.c_str(),
                               list.data(), 0, nullptr, nullptr, &tv, sizeLimit, &res);
    if (rc != LDAP_SUCCESS && rc != LDAP_SIZELIMIT_EXCEEDED) {
      if (res) ldap_msgfree(res);
      std::string what = rc == LDAP_NO_SUCH_OBJECT ? "no such object " + base : Diagnostic(rc) + " (search of " + base + ")";
      return Fail(MapCode(rc), what);
    }
    for (LDAPMessage* m = ldap_first_entry(ld_, res); m; m = ldap_next_entry(ld_, m)) {
      Entry e;
      char* dn = ldap_get_dn(ld_, m);
      if (dn) {
        e.dn = dn;
        ldap_memfree(dn);
      }
      BerElement* ber = nullptr;
      for (char* a = ldap_first_attribute(ld_, m, &ber); a; a = ldap_next_attribute(ld_, m, ber)) {
        struct berval** vals = ldap_get_values_len(ld_, m, a);
        auto& dest = e.attrs[a];
        for (int i = 0; vals && vals[i]; ++i) dest.emplace_back(vals[i]->bv_val, vals[i]->bv_len);
        ldap_value_free_len(vals);
        ldap_memfree(a);
      }
      if (ber) ber_free(ber, 0);
      if (addTimes) Derive(e);
      out.push_back(std::move(e));
    }
    ldap_msgfree(res);
    if (rc == LDAP_SIZELIMIT_EXCEEDED) return Fail(ldapcode::kSizeLimitExceeded, "size limit exceeded");
    return Ok();
  }

  int Add(const std::string& dn, const Attributes& attrs) override {
    std::vector<LDAPMod> mods(attrs.size());
    std::vector<std::vector<char*>> values(attrs.size());
    std::vector<std::string> names;
    names.reserve(attrs.size());
    std::vector<LDAPMod*> ptrs;
    size_t i = 0;
    for (const auto& [name, vals] : attrs) {
      names.push_back(name);
      for (const auto& v : vals) values[i].push_back(const_cast<char*>(v.c_str()));
      values[i].push_back(nullptr);
      mods[i].mod_op = LDAP_MOD_ADD;
      mods[i].mod_type = names.back().data();
      mods[i].mod_values = values[i].data();
      ptrs.push_back(&mods[i]);
      ++i;
    }
    ptrs.push_back(nullptr);
    int rc = ldap_add_ext_s(ld_, dn.c_str(), ptrs.data(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) return Fail(MapCode(rc), Explain(rc, dn, "add"));
    return Ok();
  }

  int Modify(const std::string& dn, const std::vector<Modification>& in) override {
    if (in.empty()) return Ok();
    std::vector<LDAPMod> mods(in.size());
    std::vector<std::vector<char*>> values(in.size());
    std::vector<LDAPMod*> ptrs;
    for (size_t i = 0; i < in.size(); ++i) {
      for (const auto& v : in[i].values) values[i].push_back(const_cast<char*>(v.c_str()));
      values[i].push_back(nullptr);
      mods[i].mod_op = in[i].op == Modification::Add      ? LDAP_MOD_ADD
                       : in[i].op == Modification::Delete ? LDAP_MOD_DELETE
                                                          : LDAP_MOD_REPLACE;
      mods[i].mod_type = const_cast<char*>(in[i].attr.c_str());
      mods[i].mod_values = in[i].values.empty() ? nullptr : values[i].data();
      ptrs.push_back(&mods[i]);
    }
    ptrs.push_back(nullptr);
    int rc = ldap_modify_ext_s(ld_, dn.c_str(), ptrs.data(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) return Fail(MapCode(rc), Explain(rc, dn, "modify"));
    return Ok();
  }

  int Delete(const std::string& dn) override {
    int rc = ldap_delete_ext_s(ld_, dn.c_str(), nullptr, nullptr);
    if (rc != LDAP_SUCCESS) return Fail(MapCode(rc), Explain(rc, dn, "delete"));
    return Ok();
  }

  int NamingContexts(std::vector<std::string>& out) override {
    out.clear();
    std::vector<Entry> e;
    int rc = Search("", Scope::Base, "(objectClass=*)", {"namingContexts", "supportedCapabilities", "defaultNamingContext"}, e, 0);
    if (rc != 0) return rc;
    if (e.empty()) return Ok();
    if (auto* d = e[0].First("defaultNamingContext")) out.push_back(*d);
    auto it = e[0].attrs.find("namingContexts");
    if (it != e[0].attrs.end())
      for (const auto& nc : it->second) {
        bool dup = false;
        for (const auto& o : out) dup = dup || SameDn(o, nc);
        if (!dup) out.push_back(nc);
      }
    auto caps = e[0].attrs.find("supportedCapabilities");
    if (caps != e[0].attrs.end())
      for (const auto& c : caps->second) isAd_ = isAd_ || c == "1.2.840.113556.1.4.800";
    return Ok();
  }

  bool IsActiveDirectory() override {
    std::vector<std::string> nc;
    NamingContexts(nc);
    return isAd_;
  }

 private:
  std::string Diagnostic(int rc) {
    char* msg = nullptr;
    ldap_get_option(ld_, LDAP_OPT_DIAGNOSTIC_MESSAGE, &msg);
    std::string text = ldap_err2string(rc);
    if (rc == LDAP_SERVER_DOWN || rc == LDAP_CONNECT_ERROR) text = "server down at " + uri_;
    if (rc == LDAP_TIMEOUT) text = "no answer within " + std::to_string(opts_.operationTimeoutSec) + " s from " + uri_;
    if (msg && *msg) text += std::string(": ") + msg;
    if (msg) ldap_memfree(msg);
    return text;
  }
  std::string Explain(int rc, const std::string& dn, const char* op) {
    if (rc == LDAP_NO_SUCH_OBJECT) return "no such object " + dn + " (" + op + ")";
    if (rc == LDAP_ALREADY_EXISTS) return "already exists " + dn;
    return Diagnostic(rc) + " (" + op + " " + dn + ")";
  }
  static void Derive(Entry& e) {
    if (!e.First("whenCreated"))
      if (auto* ts = e.First("createTimestamp")) {
        std::string t = *ts;
        if (!t.empty() && t.back() == 'Z') t.pop_back();
        size_t dot = t.find('.');
        if (dot != std::string::npos) t.resize(dot);
        e.attrs["whenCreated"] = {t + ".0Z"};
      }
    if (!e.First("uSNCreated"))
      if (auto* u = e.First("entryUUID")) {
        std::string n = UuidTime(*u);
        if (!n.empty()) e.attrs["uSNCreated"] = {n};
      }
  }

  LDAP* ld_ = nullptr;
  ConnectOptions opts_;
  bool isAd_ = false;
};

}  // namespace

std::unique_ptr<Directory> OpenLdapServer(const ConnectOptions& options, int* code, std::string* error) {
  auto d = std::make_unique<LdapServer>();
  int rc = d->Connect(options);
  if (rc != 0) {
    if (code) *code = rc;
    if (error) *error = d->LastError();
    return nullptr;
  }
  return d;
}

std::unique_ptr<Directory> ConnectDirectory(const ConnectOptions& options, int* code, std::string* error) {
  const std::string& u = options.uri;
  if (u.rfind("sqlite:", 0) == 0) return OpenEmbeddedDirectory(u.substr(7), code, error);
  if (u.rfind("ldap://", 0) == 0 || u.rfind("ldaps://", 0) == 0 || u.rfind("ldapi://", 0) == 0)
    return OpenLdapServer(options, code, error);
  if (code) *code = ldapcode::kParamError;
  if (error) *error = "unknown directory address \"" + u + "\" (use sqlite:PATH, ldap://, ldaps:// or ldapi://)";
  return nullptr;
}

}  // namespace zemir::platform
