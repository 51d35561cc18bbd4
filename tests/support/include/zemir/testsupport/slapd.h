// A throwaway OpenLDAP server for tests: started from a temporary folder on a free loopback
// port with the product schema, the memberof overlay and a small domain; stopped and removed
// by the destructor.
#pragma once
#include <string>
#include <sys/types.h>

#include "zemir/platform/ldap.h"

namespace zemir::test {

// The small domain "corp.example" that the fixture loads into a server or the embedded store:
//   users (uid=..,ou=Users): anna "Anna Bell" (mobile +49 170 1111), bob "Bob Stone"
//     (telephoneNumber 555-0102 only), carol "Carol Zemirova", dave "Dave Nest", erin "Erin Unit"
//   groups: cn=Zemir,ou=Groups {anna, cn=Inner}, cn=ZemirUsers,ou=Groups {bob},
//     cn=Inner,ou=Groups {dave}, cn=Admins,ou=Groups {carol}, cn=Staff,ou=Zemir {erin}
// The domain's users are inetOrgPerson entries, its groups groupOfNames, as on a Linux server.
struct SmallDomain {
  static constexpr const char* kDn = "dc=corp,dc=example";
  static constexpr const char* kName = "corp.example";
  // Adds every entry; false with the reason on the first failure.
  static bool LoadInto(platform::Directory& d, std::string* error);
};

class SlapdServer {
 public:
  static constexpr const char* kAdminDn = "cn=admin,dc=Zemir,dc=com";
  static constexpr const char* kPassword = "secret";

  SlapdServer() = default;
  ~SlapdServer() { Stop(); }
  SlapdServer(const SlapdServer&) = delete;
  SlapdServer& operator=(const SlapdServer&) = delete;

  // True when slapd is installed (a test may skip otherwise).
  static bool Available();

  // Starts slapd with two databases: "dc=Zemir,dc=com" (empty: the partition is created by
  // the product's tool) and, when `withDomain`, "dc=corp,dc=example" loaded with SmallDomain.
  // kAdminDn may write both. False with the reason (and slapd's output) on failure.
  bool Start(std::string* error, bool withDomain = true);
  // SIGTERM, waits for the exit, removes the folder. Safe to call twice.
  void Stop();
  // Stops the server and starts it again on the same port with the same data.
  bool Restart(std::string* error);

  bool running() const { return pid_ > 0; }
  int port() const { return port_; }
  std::string uri() const { return "ldap://127.0.0.1:" + std::to_string(port_) + "/"; }
  const std::string& folder() const { return dir_; }
  // The server's local socket, where a client may bind with SASL EXTERNAL.
  std::string ldapiUri() const;

  // A connection bound as kAdminDn.
  std::unique_ptr<platform::Directory> Connect(std::string* error) const;

  // Points the product at this server: DirectoryURI, DirectoryBindDN and
  // DirectoryBindPassword under SOFTWARE\Zemir of the current prefix's registry.
  void ConfigureRegistry() const;

 private:
  bool Launch(std::string* error, int port = 0);

  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
};

// The folder of the source tree (ZEMIR_SOURCE_DIR, set by CTest).
std::string SourceDir();

}  // namespace zemir::test
