// The throwaway slapd of the tests and the small domain it serves.
#include "zemir/testsupport/slapd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "zemir/platform/registry.h"

namespace zemir::test {

namespace fs = std::filesystem;

std::string SourceDir() {
  if (const char* s = getenv("ZEMIR_SOURCE_DIR")) return s;
  return ZEMIR_SOURCE_FALLBACK;
}

namespace {

struct Item {
  std::string dn;
  platform::Attributes attrs;
};

std::vector<Item> DomainItems() {
  const std::string base = SmallDomain::kDn;
  auto user = [&](const std::string& uid, const std::string& cn, const std::string& sn, const std::string& mobile,
                  const std::string& phone) {
    Item i{"uid=" + uid + ",ou=Users," + base, {{"objectClass", {"top", "person", "organizationalPerson", "inetOrgPerson"}}, {"uid", {uid}}, {"cn", {cn}}, {"sn", {sn}}}};
    if (!mobile.empty()) i.attrs["mobile"] = {mobile};
    if (!phone.empty()) i.attrs["telephoneNumber"] = {phone};
    return i;
  };
  auto group = [&](const std::string& dn, const std::string& cn, std::vector<std::string> members) {
    return Item{dn, {{"objectClass", {"top", "groupOfNames"}}, {"cn", {cn}}, {"member", std::move(members)}}};
  };
  auto u = [&](const std::string& uid) { return "uid=" + uid + ",ou=Users," + base; };
  return {
      {base, {{"objectClass", {"domain"}}, {"dc", {"corp"}}}},
      {"ou=Users," + base, {{"objectClass", {"organizationalUnit"}}, {"ou", {"Users"}}}},
      {"ou=Groups," + base, {{"objectClass", {"organizationalUnit"}}, {"ou", {"Groups"}}}},
      {"ou=Zemir," + base, {{"objectClass", {"organizationalUnit"}}, {"ou", {"Zemir"}}}},
      user("anna", "Anna Bell", "Bell", "+49 170 1111", "555-0101"),
      user("bob", "Bob Stone", "Stone", "", "555-0102"),
      user("carol", "Carol Zemirova", "Zemirova", "", ""),
      user("dave", "Dave Nest", "Nest", "", ""),
      user("erin", "Erin Unit", "Unit", "", ""),
      group("cn=Inner,ou=Groups," + base, "Inner", {u("dave")}),
      group("cn=Zemir,ou=Groups," + base, "Zemir", {u("anna"), "cn=Inner,ou=Groups," + base}),
      group("cn=ZemirUsers,ou=Groups," + base, "ZemirUsers", {u("bob")}),
      group("cn=Admins,ou=Groups," + base, "Admins", {u("carol")}),
      group("cn=Staff,ou=Zemir," + base, "Staff", {u("erin")}),
  };
}

int FreePort() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

bool CanConnect(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace

bool SmallDomain::LoadInto(platform::Directory& d, std::string* error) {
  for (const auto& i : DomainItems()) {
    int rc = d.Add(i.dn, i.attrs);
    if (rc != 0 && rc != platform::ldapcode::kAlreadyExists) {
      if (error) *error = "adding " + i.dn + ": " + d.LastError();
      return false;
    }
  }
  return true;
}

bool SlapdServer::Available() { return access("/usr/sbin/slapd", X_OK) == 0; }

bool SlapdServer::Start(std::string* error, bool withDomain) {
  Stop();
  std::string tmpl = (fs::temp_directory_path() / "zemir-slapd-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) {
    if (error) *error = "cannot make a temporary folder";
    return false;
  }
  dir_ = tmpl;
  fs::create_directories(dir_ + "/zemir");
  fs::create_directories(dir_ + "/corp");
  std::string schema = SourceDir() + "/tools/schema/zemir.schema";
  std::ofstream conf(dir_ + "/slapd.conf");
  conf << "include /etc/ldap/schema/core.schema\n"
          "include /etc/ldap/schema/cosine.schema\n"
          "include /etc/ldap/schema/inetorgperson.schema\n"
          "include " << schema << "\n"
          "modulepath /usr/lib/ldap\n"
          "moduleload back_mdb\n"
          "moduleload memberof\n"
          "pidfile " << dir_ << "/slapd.pid\n"
          "sizelimit unlimited\n"
          "database mdb\n"
          "suffix \"dc=Zemir,dc=com\"\n"
          "rootdn \"" << kAdminDn << "\"\n"
          "rootpw " << kPassword << "\n"
          "directory " << dir_ << "/zemir\n"
          "maxsize 1073741824\n"
          "dbnosync\n"
          "index objectClass eq\n"
          "index zmUserName,zmUserKeySerial,zmSignalType,zmUserAttr1 eq\n";
  if (withDomain) {
    conf << "database mdb\n"
            "suffix \"" << SmallDomain::kDn << "\"\n"
            "rootdn \"cn=admin," << SmallDomain::kDn << "\"\n"
            "directory " << dir_ << "/corp\n"
            "maxsize 104857600\n"
            "dbnosync\n"
            "access to * by dn.exact=\"" << kAdminDn << "\" write by * read\n"
            "overlay memberof\n"
            "memberof-group-oc groupOfNames\n"
            "memberof-member-ad member\n"
            "memberof-memberof-ad memberOf\n"
            "memberof-refint TRUE\n";
  }
  conf.close();
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (Launch(error)) {
      if (!withDomain) return true;
      auto d = Connect(error);
      if (d && SmallDomain::LoadInto(*d, error)) return true;
      Stop();
      return false;
    }
  }
  Stop();
  return false;
}

bool SlapdServer::Restart(std::string* error) {
  if (pid_ <= 0) {
    if (error) *error = "not running";
    return false;
  }
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  // The port may linger for a moment after the old process ends.
  for (int attempt = 0; attempt < 50; ++attempt) {
    if (Launch(error, port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

bool SlapdServer::Launch(std::string* error, int port) {
  port_ = port ? port : FreePort();
  if (port_ == 0) {
    if (error) *error = "no free loopback port";
    return false;
  }
  std::string log = dir_ + "/slapd.log";
  std::string listen = "ldap://127.0.0.1:" + std::to_string(port_) + "/ " + ldapiUri();
  std::string conf = dir_ + "/slapd.conf";
  pid_t pid = fork();
  if (pid < 0) {
    if (error) *error = "fork failed";
    return false;
  }
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execl("/usr/sbin/slapd", "slapd", "-d", "0", "-h", listen.c_str(), "-f", conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = pid;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (CanConnect(port_)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      if (error) *error = "slapd exited: " + ReadAll(log);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (error) *error = "slapd did not answer within 10 s: " + ReadAll(log);
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return false;
}

void SlapdServer::Stop() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool gone = false;
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        gone = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!gone) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
  }
  if (!dir_.empty()) {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    dir_.clear();
  }
}

std::string SlapdServer::ldapiUri() const {
  std::string enc;
  for (char c : dir_ + "/ldapi")
    enc += c == '/' ? std::string("%2F") : std::string(1, c);
  return "ldapi://" + enc;
}

std::unique_ptr<platform::Directory> SlapdServer::Connect(std::string* error) const {
  platform::ConnectOptions o;
  o.uri = uri();
  o.bindDn = kAdminDn;
  o.password = kPassword;
  int code = 0;
  return platform::ConnectDirectory(o, &code, error);
}

void SlapdServer::ConfigureRegistry() const {
  HKEY k = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return;
  auto set = [&](const char* name, const std::string& v) {
    RegSetValueExA(k, name, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()), static_cast<DWORD>(v.size() + 1));
  };
  set("DirectoryURI", uri());
  set("DirectoryBindDN", kAdminDn);
  set("DirectoryBindPassword", kPassword);
  RegCloseKey(k);
}

}  // namespace zemir::test
