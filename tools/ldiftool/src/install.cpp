// The partition installer behind ldiftool.
#include <cstdio>
#include <strings.h>

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

namespace {

std::string Base64Decode(const std::string& in, bool* ok) {
  static const std::string chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  int val = 0, bits = -8;
  *ok = true;
  for (char c : in) {
    if (c == '=' || c == ' ') continue;
    size_t p = chars.find(c);
    if (p == std::string::npos) {
      *ok = false;
      return {};
    }
    val = (val << 6) + static_cast<int>(p);
    bits += 6;
    if (bits >= 0) {
      out.push_back(static_cast<char>((val >> bits) & 0xFF));
      bits -= 8;
    }
  }
  return out;
}

}  // namespace

bool ParseLdif(const std::string& text, std::vector<LdifEntry>& out, std::string* error) {
  // Unfold: a line starting with one blank continues the previous one.
  std::vector<std::pair<int, std::string>> lines;
  int no = 0;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    std::string l = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (!l.empty() && l.back() == '\r') l.pop_back();
    ++no;
    if (!l.empty() && l[0] == ' ' && !lines.empty() && !lines.back().second.empty())
      lines.back().second += l.substr(1);
    else
      lines.emplace_back(no, l);
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  auto fail = [&](int line, const std::string& why) {
    if (error) *error = "line " + std::to_string(line) + ": " + why;
    return false;
  };
  LdifEntry cur;
  bool in = false;
  for (const auto& [line, l] : lines) {
    if (!l.empty() && l[0] == '#') continue;
    if (l.empty()) {
      if (in) out.push_back(std::move(cur));
      cur = LdifEntry();
      in = false;
      continue;
    }
    size_t colon = l.find(':');
    if (colon == std::string::npos || colon == 0) return fail(line, "expected \"name: value\"");
    std::string name = l.substr(0, colon), value;
    if (colon + 1 < l.size() && l[colon + 1] == ':') {
      bool ok = false;
      value = Base64Decode(l.substr(colon + 2), &ok);
      if (!ok) return fail(line, "bad base64 value of " + name);
    } else if (colon + 1 < l.size() && l[colon + 1] == '<') {
      return fail(line, "values from URLs are not supported");
    } else {
      value = l.substr(colon + 1);
      size_t b = value.find_first_not_of(' ');
      value = b == std::string::npos ? std::string() : value.substr(b);
    }
    if (!in) {
      if (strcasecmp(name.c_str(), "version") == 0) continue;
      if (strcasecmp(name.c_str(), "dn") != 0) return fail(line, "an entry must begin with \"dn:\"");
      cur.dn = value;
      cur.line = line;
      in = true;
      continue;
    }
    if (strcasecmp(name.c_str(), "changetype") == 0) {
      if (strcasecmp(value.c_str(), "add") != 0) return fail(line, "only \"changetype: add\" is supported");
      continue;
    }
    cur.attrs[name].push_back(value);
  }
  if (in) out.push_back(std::move(cur));
  return true;
}

bool ImportEntries(platform::Directory& d, const std::vector<LdifEntry>& entries, std::vector<std::string>& report) {
  for (const auto& e : entries) {
    int rc = d.Add(e.dn, e.attrs);
    if (rc == 0) {
      report.push_back("created " + e.dn);
    } else if (rc == platform::ldapcode::kAlreadyExists) {
      report.push_back("exists " + e.dn);
    } else {
      std::string why = d.LastError().empty() ? platform::LdapCodeText(rc) : d.LastError();
      report.push_back("cannot create " + e.dn + " (line " + std::to_string(e.line) + "): " + why);
      return false;
    }
  }
  return true;
}

int RunLdifTool(int argc, const char* const* argv) {
  const char* usage = "usage: ldiftool install -user=NAME -password=TEXT\n"
                      "       ldiftool import -file=PATH [-user=NAME -password=TEXT]\n"
                      "Creates the partition DC=Zemir,DC=com and its containers, or adds the entries of an\n"
                      "LDIF file, in the directory named by DirectoryURI under HKLM\\SOFTWARE\\Zemir (empty\n"
                      "NAME: DirectoryBindDN and its password).\n";
  bool import = argc >= 2 && strcmp(argv[1], "import") == 0;
  if (argc < 2 || (!import && strcmp(argv[1], "install") != 0)) {
    fputs(usage, stderr);
    return 2;
  }
  platform::ConnectOptions o = platform::ProductDirectoryOptions();
  std::string file;
  for (int i = 2; i < argc; ++i) {
    if (strncmp(argv[i], "-user=", 6) == 0) {
      if (argv[i][6]) {
        o.bindDn = argv[i] + 6;
        o.password.clear();
      }
    } else if (strncmp(argv[i], "-password=", 10) == 0) {
      if (argv[i][10]) o.password = argv[i] + 10;
    } else if (import && strncmp(argv[i], "-file=", 6) == 0) {
      file = argv[i] + 6;
    } else {
      fprintf(stderr, "ldiftool: unknown argument \"%s\"\n%s", argv[i], usage);
      return 2;
    }
  }
  std::vector<LdifEntry> entries;
  if (import) {
    if (file.empty()) {
      fprintf(stderr, "ldiftool: import needs -file=PATH\n%s", usage);
      return 2;
    }
    FILE* f = fopen(file.c_str(), "rb");
    if (!f) {
      fprintf(stderr, "ldiftool: cannot read %s\n", file.c_str());
      return 1;
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    fclose(f);
    std::string why;
    if (!ParseLdif(text, entries, &why)) {
      fprintf(stderr, "ldiftool: %s: %s\n", file.c_str(), why.c_str());
      return 1;
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
  bool ok = import ? ImportEntries(*d, entries, report) : InstallPartition(*d, report);
  for (const auto& r : report) fprintf(ok ? stdout : stderr, "ldiftool: %s\n", r.c_str());
  if (!ok) return 1;
  if (import) printf("ldiftool: %zu entries of %s in %s\n", entries.size(), file.c_str(), o.uri.c_str());
  else printf("ldiftool: partition DC=Zemir,DC=com ready in %s\n", o.uri.c_str());
  return 0;
}

}  // namespace zemir::tools
