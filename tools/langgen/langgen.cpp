// langgen: makes the console's compiled-in string table and the shipped English language files
// (english.txt, english.js, strings.h) from the one text table languages/strings.tsv.
//
//   langgen SOURCE --header IDS_H --table TABLE_INC   the C++ header and table for common/
//   langgen SOURCE --languages DIR                    (re)writes the three language files
//   langgen SOURCE --check DIR                        exit 1 when DIR's files differ
//
// Files are written only when their contents change, so a rebuild does not recompile.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The language files are read by a plain substring search and cut lines of 490 characters or
// more; the generated files are checked against both rules.
constexpr size_t kLineTextLimit = 490;
// The id lookup walks back at most 60 characters from the id to the "#" of its define line.
constexpr size_t kDefineReach = 60;

struct Row {
  int line = 0;
  unsigned id = 0;   // numeric string id, 0 for a key
  std::string name;  // symbolic name of an id, or the "txt" key
  std::string text;  // as in the source: backslash-n for a line break
};

int g_errors = 0;

void Error(const std::string& where, int line, const std::string& what) {
  std::fprintf(stderr, "%s:%d: %s\n", where.c_str(), line, what.c_str());
  ++g_errors;
}

std::string ReadAll(const std::string& path, bool* ok) {
  std::ifstream f(path, std::ios::binary);
  *ok = static_cast<bool>(f);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool WriteIfChanged(const std::string& path, const std::string& content) {
  bool ok = false;
  if (ReadAll(path, &ok) == content && ok) return true;
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << content;
  f.close();
  if (!f) {
    std::fprintf(stderr, "langgen: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

bool ValidName(const std::string& s, bool key) {
  if (s.empty()) return false;
  if (key && s.rfind("txt", 0) != 0) return false;
  for (char c : s) {
    bool good = key ? (std::isalnum(static_cast<unsigned char>(c)) || c == '_')
                    : (std::isupper(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '_');
    if (!good) return false;
  }
  return true;
}

// Plain ASCII without quotes, tabs or control characters; the only backslash is that of "\n".
bool ValidText(const std::string& s, std::string* why) {
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c > 0x7E) {
      *why = "character outside printable ASCII at column " + std::to_string(i + 1);
      return false;
    }
    if (c == '"') {
      *why = "double quote in text";
      return false;
    }
    if (c == '\\') {
      if (i + 1 < s.size() && s[i + 1] == 'n') {
        ++i;
        continue;
      }
      *why = "backslash not followed by n";
      return false;
    }
  }
  return true;
}

std::vector<Row> ParseSource(const std::string& path) {
  bool ok = false;
  std::string all = ReadAll(path, &ok);
  std::vector<Row> rows;
  if (!ok) {
    Error(path, 0, "cannot read the source table");
    return rows;
  }
  std::istringstream in(all);
  std::string line;
  int n = 0;
  std::set<unsigned> ids;
  std::set<std::string> names;
  while (std::getline(in, line)) {
    ++n;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t t1 = line.find('\t');
    size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
    if (t2 == std::string::npos) {
      Error(path, n, "expected three columns separated by tabs");
      continue;
    }
    Row r;
    r.line = n;
    std::string first = line.substr(0, t1), second = line.substr(t1 + 1, t2 - t1 - 1);
    r.text = line.substr(t2 + 1);
    std::string why;
    if (!ValidText(r.text, &why)) Error(path, n, why);
    if (!first.empty() && std::isdigit(static_cast<unsigned char>(first[0]))) {
      char* end = nullptr;
      unsigned long v = std::strtoul(first.c_str(), &end, 10);
      if (*end || v == 0 || v > 65535) Error(path, n, "string id must be a number from 1 to 65535");
      r.id = static_cast<unsigned>(v);
      r.name = second;
      if (!ValidName(r.name, false)) Error(path, n, "symbolic name must be upper-case letters, digits and '_'");
      if (!ids.insert(r.id).second) Error(path, n, "string id " + first + " appears twice");
    } else {
      r.name = first;
      if (!ValidName(r.name, true)) Error(path, n, "key must begin with \"txt\" and hold letters, digits and '_'");
      if (second != "-") Error(path, n, "the second column of a key is \"-\"");
    }
    if (!names.insert(r.name).second) Error(path, n, r.name + " appears twice");
    if (r.id && r.name.size() > 40) Error(path, n, "symbolic name longer than 40 characters");
    rows.push_back(r);
  }
  if (rows.empty()) Error(path, n, "no texts");
  return rows;
}

// C string literal of a source text: "\n" stays an escape, nothing else needs one.
std::string CLiteral(const std::string& text) { return "\"" + text + "\""; }

std::string IdsHeader(const std::vector<Row>& rows) {
  std::string s =
      "// Generated by langgen from languages/strings.tsv: the console's string ids. Do not edit.\n"
      "#pragma once\n\nnamespace zemir {\n\n";
  for (auto& r : rows)
    if (r.id) s += "inline constexpr unsigned " + r.name + " = " + std::to_string(r.id) + ";\n";
  s += "\n}  // namespace zemir\n";
  return s;
}

std::string TableInc(const std::vector<Row>& rows) {
  std::map<unsigned, const Row*> byId;
  for (auto& r : rows)
    if (r.id) byId[r.id] = &r;
  std::string s = "// Generated by langgen from languages/strings.tsv: the console's string table, by id.\n";
  for (auto& [id, r] : byId) s += "{" + std::to_string(id) + ", " + CLiteral(r->text) + "},\n";
  return s;
}

struct LanguageFiles {
  std::string table, script, header;  // english.txt, english.js, strings.h
};

// The files use Windows line ends, as the product's setup installs them.
LanguageFiles MakeLanguageFiles(const std::vector<Row>& rows) {
  LanguageFiles f;
  f.header = "// Symbolic names of the Zemir console's string ids.\r\n";
  f.script = "// English texts of the Zemir console.\r\n";
  for (auto& r : rows) {
    if (r.id) {
      f.header += "#define " + r.name + " " + std::to_string(r.id) + "\r\n";
      f.table += r.name + " \"" + r.text + "\"\r\n";
    } else {
      f.script += "var " + r.name + " = \"" + r.text + "\";\r\n";
    }
  }
  return f;
}

// The lookups find the first occurrence of a plain substring; make sure that each one lands
// on its own line, and that no line is too long to be read.
void CheckLookups(const std::vector<Row>& rows, const LanguageFiles& f, const std::string& src) {
  for (auto& r : rows) {
    if (r.id) {
      std::string def = "#define " + r.name + " " + std::to_string(r.id) + "\r\n";
      size_t line = f.header.find(def);
      size_t first = f.header.find(std::to_string(r.id));
      if (first != line + def.size() - 2 - std::to_string(r.id).size())
        Error(src, r.line, "the id " + std::to_string(r.id) + " occurs in strings.h before its own line");
      if (def.size() - 2 - std::to_string(r.id).size() > kDefineReach)
        Error(src, r.line, "define line too long for the id lookup");
      std::string entry = r.name + " \"";
      size_t at = f.table.find(r.name + " ");
      if (at != f.table.find("\n" + entry) + 1 && at != 0)
        Error(src, r.line, r.name + " occurs in english.txt before its own line");
      if (r.text.size() + 1 >= kLineTextLimit) Error(src, r.line, "text too long for a language file");
    } else {
      std::string entry = "var " + r.name + " = \"";
      size_t own = f.script.find("\n" + entry);
      for (const char* sep : {" ", "\t", "="}) {
        size_t at = f.script.find(r.name + sep);
        if (at == std::string::npos) continue;
        if (at != own + 5) Error(src, r.line, r.name + " occurs in english.js before its own line");
        break;
      }
      if (r.text.size() + 2 >= kLineTextLimit) Error(src, r.line, "text too long for a language file");
    }
  }
}

int Usage() {
  std::fprintf(stderr,
               "usage: langgen SOURCE.tsv [--header IDS_H] [--table TABLE_INC] [--languages DIR] [--check DIR]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string source = argv[1];
  std::map<std::string, std::string> opts;
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc) return Usage();
    std::string o = argv[i];
    if (o != "--header" && o != "--table" && o != "--languages" && o != "--check") return Usage();
    opts[o] = argv[i + 1];
  }
  std::vector<Row> rows = ParseSource(source);
  LanguageFiles files = MakeLanguageFiles(rows);
  CheckLookups(rows, files, source);
  if (g_errors) return 1;

  bool ok = true;
  if (opts.count("--header")) ok &= WriteIfChanged(opts["--header"], IdsHeader(rows));
  if (opts.count("--table")) ok &= WriteIfChanged(opts["--table"], TableInc(rows));
  const std::pair<const char*, const std::string*> outputs[] = {
      {"english.txt", &files.table}, {"english.js", &files.script}, {"strings.h", &files.header}};
  if (opts.count("--languages")) {
    for (auto& [name, content] : outputs) ok &= WriteIfChanged(opts["--languages"] + "/" + name, *content);
  }
  if (opts.count("--check")) {
    for (auto& [name, content] : outputs) {
      std::string path = opts["--check"] + "/" + name;
      bool readOk = false;
      if (ReadAll(path, &readOk) != *content || !readOk) {
        std::fprintf(stderr, "%s differs from what %s makes; run the build target langgen_update\n", path.c_str(),
                     source.c_str());
        ok = false;
      }
    }
  }
  return ok ? 0 : 1;
}
