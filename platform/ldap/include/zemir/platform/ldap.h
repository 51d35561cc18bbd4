// Directory servers: one interface over an LDAP server (libldap) and the embedded store (SQLite).
#pragma once
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zemir::platform {

// Result codes of directory operations: the LDAP result codes (RFC 4511), with the client-side
// conditions of libldap given the positive numbers of LDAPv2 (81 server down, 85 timeout, ...).
namespace ldapcode {
constexpr int kSuccess = 0;
constexpr int kOperationsError = 1;
constexpr int kProtocolError = 2;
constexpr int kTimeLimitExceeded = 3;
constexpr int kSizeLimitExceeded = 4;
constexpr int kNoSuchAttribute = 16;
constexpr int kUndefinedType = 17;
constexpr int kNoSuchObject = 32;
constexpr int kInvalidDnSyntax = 34;
constexpr int kInvalidCredentials = 49;
constexpr int kInsufficientAccess = 50;
constexpr int kBusy = 51;
constexpr int kUnavailable = 52;
constexpr int kUnwillingToPerform = 53;
constexpr int kObjectClassViolation = 65;
constexpr int kNotAllowedOnNonLeaf = 66;
constexpr int kAlreadyExists = 68;
constexpr int kOther = 80;
constexpr int kServerDown = 81;
constexpr int kLocalError = 82;
constexpr int kEncodingError = 83;
constexpr int kTimeout = 85;
constexpr int kAuthUnknown = 86;
constexpr int kFilterError = 87;
constexpr int kParamError = 89;
constexpr int kNoMemory = 90;
constexpr int kConnectError = 91;
constexpr int kNotSupported = 92;
}  // namespace ldapcode

// The standard text of a result code ("No such object", "Can't contact LDAP server", ...).
std::string LdapCodeText(int code);

// Attribute names compare without regard to case (ASCII).
struct NameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};
using Attributes = std::map<std::string, std::vector<std::string>, NameLess>;

// One entry as the server gives it: its distinguished name and attributes, text in UTF-8.
struct Entry {
  std::string dn;
  Attributes attrs;
  // The first value of an attribute, or null.
  const std::string* First(const std::string& name) const;
};

enum class Scope { Base, OneLevel, Subtree };

struct Modification {
  enum Op { Add, Delete, Replace } op = Replace;
  std::string attr;
  std::vector<std::string> values;  // Replace/Delete with none: the attribute goes
};

// How to reach and authenticate to the server.
struct ConnectOptions {
  std::string uri;            // "sqlite:PATH", "ldap://host:port/", "ldaps://...", "ldapi://..."
  std::string bindDn;         // empty: anonymous, or SASL EXTERNAL over ldapi://
  std::string password;
  int networkTimeoutSec = 5;  // connecting to the server
  int operationTimeoutSec = 20;  // waiting for one operation's answer
};

// A connection to a directory. Not shared between threads without a lock of the caller's.
class Directory {
 public:
  virtual ~Directory() = default;
  // Attribute list: empty or "*" for all user attributes; operational ones by name or "+".
  virtual int Search(const std::string& base, Scope scope, const std::string& filter,
                     const std::vector<std::string>& attrs, std::vector<Entry>& out, int sizeLimit = 0) = 0;
  virtual int Add(const std::string& dn, const Attributes& attrs) = 0;
  virtual int Modify(const std::string& dn, const std::vector<Modification>& mods) = 0;
  virtual int Delete(const std::string& dn) = 0;
  // The naming contexts the server holds (the root DSE's namingContexts).
  virtual int NamingContexts(std::vector<std::string>& out) = 0;
  // True for an Active Directory server (its root DSE announces the capability).
  virtual bool IsActiveDirectory() { return false; }
  virtual bool IsEmbedded() const { return false; }
  // The server's text about the last failure, with the place it happened ("no such object
  // CN=x,DC=Zemir,DC=com", "server down at ldap://10.0.0.1/"); empty after a success.
  const std::string& LastError() const { return lastError_; }
  const std::string& uri() const { return uri_; }

 protected:
  int Fail(int code, std::string text) {
    lastError_ = std::move(text);
    return code;
  }
  int Ok() {
    lastError_.clear();
    return 0;
  }
  std::string lastError_;
  std::string uri_;
};

// Connects (and binds) to the directory the URI names. On failure returns null and sets
// *code and *error.
std::unique_ptr<Directory> ConnectDirectory(const ConnectOptions& options, int* code, std::string* error);

// Distinguished names. Normalised form: attribute types and values in lower case (ASCII),
// no blanks around "=" and ",". Escapes stay as written.
std::string NormalizeDn(std::string_view dn);
// The RDNs of a DN, split at unescaped commas, each trimmed.
std::vector<std::string> SplitDn(std::string_view dn);
// The parent DN (everything after the first RDN); empty for a one-RDN name.
std::string ParentDn(std::string_view dn);
// "dc=corp,dc=example" -> "corp.example" (the DC components only); and back.
std::string DnToDomain(std::string_view dn);
std::string DomainToDn(std::string_view domain);
// Case-insensitive DN comparison.
bool SameDn(std::string_view a, std::string_view b);

}  // namespace zemir::platform

namespace zemir::platform {

// Where the product's directory lives, from SOFTWARE\Zemir of HKEY_LOCAL_MACHINE:
// DirectoryURI (default "sqlite:" + the prefix's directory.db; "sqlite:C:\..." names a file on
// a Windows drive), DirectoryBindDN, DirectoryBindPassword, DirectoryTimeout (seconds to
// connect; an operation may take four times as long).
ConnectOptions ProductDirectoryOptions();
// The domain's server: DomainURI, DomainBindDN, DomainBindPassword, each defaulting to the
// product directory's value.
ConnectOptions ProductDomainOptions();

}  // namespace zemir::platform
