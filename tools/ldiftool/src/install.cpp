// The partition installer behind ldiftool.
#include <cstdio>
#include <cstring>

#include "zemir/tools/ldiftool.h"

namespace zemir::tools {

bool InstallPartition(platform::Directory& d, std::vector<std::string>& report) {
  struct Step {
    std::string dn;
    platform::Attributes attrs;
  };
  const std::string base = "DC=Zemir,DC=com";
  std::vector<Step> steps = {{base, {{"objectClass", {"domain"}}, {"dc", {"Zemir"}}}}};
  for (const char* c : {"GlobalSettings", "GlobalKeys", "SelfEnrolls", "SecretKeys"})
    steps.push_back({std::string("CN=") + c + "," + base, {{"objectClass", {"zmContainer"}}, {"cn", {c}}}});
  for (const auto& s : steps) {
    int rc = d.Add(s.dn, s.attrs);
    if (rc == 0) {
      report.push_back("created " + s.dn);
    } else if (rc == platform::ldapcode::kAlreadyExists) {
      report.push_back("exists " + s.dn);
    } else {
      std::string why = d.LastError().empty() ? platform::LdapCodeText(rc) : d.LastError();
      if (rc == platform::ldapcode::kNoSuchObject && s.dn == base)
        why += " (the server holds no naming context for " + base + ")";
      if (rc == platform::ldapcode::kObjectClassViolation || rc == 17 || rc == 21)
        why += " (is the product schema loaded on the server?)";
      report.push_back("cannot create " + s.dn + ": " + why);
      return false;
    }
  }
  return true;
}

int RunLdifTool(int argc, const char* const* argv) {
  const char* usage = "usage: ldiftool install -user=NAME -password=TEXT\n"
                      "Creates the partition DC=Zemir,DC=com and its containers in the directory named by\n"
                      "DirectoryURI under HKLM\\SOFTWARE\\Zemir (empty NAME: DirectoryBindDN and its password).\n";
  if (argc < 2 || strcmp(argv[1], "install") != 0) {
    fputs(usage, stderr);
    return 2;
  }
  platform::ConnectOptions o = platform::ProductDirectoryOptions();
  for (int i = 2; i < argc; ++i) {
    if (strncmp(argv[i], "-user=", 6) == 0) {
      if (argv[i][6]) {
        o.bindDn = argv[i] + 6;
        o.password.clear();
      }
    } else if (strncmp(argv[i], "-password=", 10) == 0) {
      if (argv[i][10]) o.password = argv[i] + 10;
    } else {
      fprintf(stderr, "ldiftool: unknown argument \"%s\"\n%s", argv[i], usage);
      return 2;
    }
  }
  int code = 0;
  std::string error;
  auto d = platform::ConnectDirectory(o, &code, &error);
  if (!d) {
    fprintf(stderr, "ldiftool: cannot reach the directory %s: %s\n", o.uri.c_str(), error.c_str());
    return 1;
  }
  std::vector<std::string> report;
  bool ok = InstallPartition(*d, report);
  for (const auto& r : report) fprintf(ok ? stdout : stderr, "ldiftool: %s\n", r.c_str());
  if (!ok) return 1;
  printf("ldiftool: partition DC=Zemir,DC=com ready in %s\n", o.uri.c_str());
  return 0;
}

}  // namespace zemir::tools
