// Creating the product's partition "DC=Zemir,DC=com" and its four containers.
#pragma once
#include <string>
#include <vector>

#include "zemir/platform/ldap.h"

namespace zemir::tools {

// Creates what is missing of the partition and its containers; entries that exist already are
// left as they are. Each step is appended to `report`. False with the reason on a failure.
bool InstallPartition(platform::Directory& d, std::vector<std::string>& report);

// One entry of an LDIF file.
struct LdifEntry {
  std::string dn;
  platform::Attributes attrs;
  int line = 0;  // where the entry starts
};
// Reads LDIF content records ("dn:", "attr: value", "attr:: base64", folded lines, comments,
// "changetype: add"). False with "line N: reason" on the first malformed line.
bool ParseLdif(const std::string& text, std::vector<LdifEntry>& out, std::string* error);
// Adds the entries in order; existing ones are left as they are. False on the first failure.
bool ImportEntries(platform::Directory& d, const std::vector<LdifEntry>& entries, std::vector<std::string>& report);

// The command line "install -user=NAME -password=TEXT": connects to the directory named by
// DirectoryURI (binding as NAME when it is not empty, else with DirectoryBindDN) and installs
// the partition. "import -file=PATH [-user=NAME -password=TEXT]" adds the entries of an LDIF
// file the same way (a domain of users and groups for the embedded store, for instance).
// Returns the process exit code: 0 done, 1 failed, 2 bad command line.
int RunLdifTool(int argc, const char* const* argv);

}  // namespace zemir::tools
