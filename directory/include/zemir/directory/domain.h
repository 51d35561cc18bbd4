// Domain discovery and account lookup: the domain's name, object searches, the two-factor
// group, and the service's user lookup with its group-membership test.
#pragma once
#include <string>

namespace zemir {

// Whether the computer belongs to a domain; on true the domain text holds its name.
bool IsComputerInDomain();
// The domain's name (possibly empty): DomainName when it has at least 3 characters, else what
// the domain's directory says. The result is a copy of the process-wide domain text.
std::string GetDomainTree();
// The ADsPath of the first object the search finds ("GC://" turned into "LDAP://"), empty
// when none. Console.
std::u16string FindADObject(const std::u16string& path, const std::u16string& filter);
// The group's path in the domain's global catalogue, empty when it does not exist. Console.
std::string FindGroupPath(const std::string& domain, const std::string& groupName);
// Adds an account to the two-factor group (2fa-groupname, "Zemir" when shorter than 2). Console.
bool AddUserTo2faGroup(const std::string& accountName);
// Service: whether an account of that name (its name, else its account name) exists and, when
// `groupName` is given, is a direct member of a group whose DN contains it (any case). When
// `phone` is given it receives the mobile number, else the telephone number (at most 79 bytes).
bool isFindUser(const char* name, const char* groupName, std::string* phone);

}  // namespace zemir
