// Distinguished-name helpers, result-code texts and filter-value escaping shared by both back ends.
#include <cstring>

#include "zemir/platform/ldap.h"

namespace zemir::platform {

namespace {
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') {
    // a blank escaped with "\" belongs to the value
    if (e >= 2 && s[e - 2] == '\\') break;
    --e;
  }
  return std::string(s.substr(b, e - b));
}
}  // namespace

bool NameLess::operator()(const std::string& a, const std::string& b) const {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char x = Lower(a[i]), y = Lower(b[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  return a.size() < b.size();
}

const std::string* Entry::First(const std::string& name) const {
  auto it = attrs.find(name);
  if (it == attrs.end() || it->second.empty()) return nullptr;
  return &it->second.front();
}

std::string LdapCodeText(int code) {
  switch (code) {
    case 0: return "Success";
    case 1: return "Operations error";
    case 2: return "Protocol error";
    case 3: return "Time limit exceeded";
    case 4: return "Size limit exceeded";
    case 16: return "No such attribute";
    case 17: return "Undefined attribute type";
    case 21: return "Invalid syntax";
    case 32: return "No such object";
    case 34: return "Invalid DN syntax";
    case 48: return "Inappropriate authentication";
    case 49: return "Invalid credentials";
    case 50: return "Insufficient access";
    case 51: return "Server is busy";
    case 52: return "Server is unavailable";
    case 53: return "Server is unwilling to perform";
    case 64: return "Naming violation";
    case 65: return "Object class violation";
    case 66: return "Operation not allowed on non-leaf";
    case 68: return "Already exists";
    case 80: return "Internal server error";
    case 81: return "Can't contact LDAP server";
    case 82: return "Local error";
    case 83: return "Encoding error";
    case 84: return "Decoding error";
    case 85: return "Timed out";
    case 86: return "Unknown authentication method";
    case 87: return "Bad search filter";
    case 89: return "Bad parameter to an ldap routine";
    case 90: return "Out of memory";
    case 91: return "Connect error";
    case 92: return "Not supported";
    default: return "LDAP error " + std::to_string(code);
  }
}

std::vector<std::string> SplitDn(std::string_view dn) {
  std::vector<std::string> out;
  std::string cur;
  for (size_t i = 0; i < dn.size(); ++i) {
    char c = dn[i];
    if (c == '\\' && i + 1 < dn.size()) {
      cur += c;
      cur += dn[++i];
      continue;
    }
    if (c == ',' || c == ';') {
      out.push_back(Trim(cur));
      cur.clear();
      continue;
    }
    cur += c;
  }
  std::string last = Trim(cur);
  if (!last.empty() || !out.empty()) out.push_back(last);
  return out;
}

std::string NormalizeDn(std::string_view dn) {
  std::string out;
  for (const auto& rdn : SplitDn(dn)) {
    if (!out.empty()) out += ',';
    size_t eq = rdn.find('=');
    if (eq == std::string::npos) {
      for (char c : rdn) out += Lower(c);
      continue;
    }
    std::string type = Trim(std::string_view(rdn).substr(0, eq));
    std::string value = Trim(std::string_view(rdn).substr(eq + 1));
    for (char c : type) out += Lower(c);
    out += '=';
    for (char c : value) out += Lower(c);
  }
  return out;
}

std::string ParentDn(std::string_view dn) {
  auto rdns = SplitDn(dn);
  std::string out;
  for (size_t i = 1; i < rdns.size(); ++i) {
    if (!out.empty()) out += ',';
    out += rdns[i];
  }
  return out;
}

std::string DnToDomain(std::string_view dn) {
  std::string out;
  for (const auto& rdn : SplitDn(dn)) {
    if (rdn.size() > 3 && Lower(rdn[0]) == 'd' && Lower(rdn[1]) == 'c' && rdn[2] == '=') {
      if (!out.empty()) out += '.';
      out += rdn.substr(3);
    }
  }
  return out;
}

std::string DomainToDn(std::string_view domain) {
  std::string out;
  size_t start = 0;
  while (start <= domain.size()) {
    size_t dot = domain.find('.', start);
    std::string_view part = domain.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (!part.empty()) {
      if (!out.empty()) out += ',';
      out += "DC=";
      out += part;
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return out;
}

bool SameDn(std::string_view a, std::string_view b) { return NormalizeDn(a) == NormalizeDn(b); }

}  // namespace zemir::platform
