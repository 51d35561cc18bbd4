// Search filters (RFC 4515) parsed into a tree and evaluated against entries of the embedded store.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "zemir/platform/ldap.h"

namespace zemir::platform::filter {

struct Node {
  enum Kind { And, Or, Not, Equal, Present, Substring, Greater, Less } kind = Equal;
  std::vector<std::unique_ptr<Node>> children;
  std::string attr;                // lower case
  std::string value;               // unescaped, lower case (Equal, Greater, Less)
  std::string initial, final_;     // substring parts, lower case
  std::vector<std::string> any;
};

// Parses a filter; an empty text is "(objectClass=*)". Null on a syntax error.
std::unique_ptr<Node> Parse(const std::string& text);

// Lower-cases ASCII letters; the comparison the store uses for every value.
std::string Fold(std::string_view s);

// Evaluates against the entry's attributes. Values of DN-valued attributes (member,
// memberOf, distinguishedName) compare as normalised DNs.
bool Matches(const Node& n, const Entry& e);

// An equality on one attribute that every match must satisfy (the top, or a child of a top
// "&"), for narrowing the candidates through an index. False when there is none.
bool RequiredEquality(const Node& n, std::string* attr, std::string* value);

bool IsDnAttribute(const std::string& lowerName);

}  // namespace zemir::platform::filter
