// Creating the product's partition "DC=Zemir,DC=com" and its four containers.
#pragma once
#include <string>
#include <vector>

#include "zemir/platform/ldap.h"

namespace zemir::tools {

// Creates what is missing of the partition and its containers; entries that exist already are
// left as they are. Each step is appended to `report`. False with the reason on a failure.
bool InstallPartition(platform::Directory& d, std::vector<std::string>& report);

// The command line "install -user=NAME -password=TEXT": connects to the directory named by
// DirectoryURI (binding as NAME when it is not empty, else with DirectoryBindDN) and installs
// the partition. Returns the process exit code: 0 done, 1 failed, 2 bad command line.
int RunLdifTool(int argc, const char* const* argv);

}  // namespace zemir::tools
