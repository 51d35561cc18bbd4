// The two back ends behind ConnectDirectory.
#pragma once
#include "zemir/platform/ldap.h"

namespace zemir::platform {
std::unique_ptr<Directory> OpenEmbeddedDirectory(const std::string& path, int* code, std::string* error);
std::unique_ptr<Directory> OpenLdapServer(const ConnectOptions& options, int* code, std::string* error);
}  // namespace zemir::platform
