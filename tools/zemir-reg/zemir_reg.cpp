// zemir-reg: queries, adds, deletes, exports and imports values of the prefix's registry, with
// the commands, switches and messages of the Windows registry console tool.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "zemir/platform/codepage.h"
#include "zemir/platform/registry.h"
#include "zemir/platform/regfile.h"
#include "zemir/platform/terminal.h"

using namespace zemir;

namespace {

constexpr const char* kSuccess = "The operation completed successfully.";
constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.";
constexpr const char* kCancelled = "The operation was cancelled by the user.";

const char* kUsage =
    "zemir-reg: reads and changes the registry of the prefix (ZEMIR_PREFIX).\n"
    "\n"
    "  zemir-reg query  KEY [/v NAME | /ve] [/s]\n"
    "  zemir-reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  zemir-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  zemir-reg export KEY FILE [/y] [/regedit4]\n"
    "  zemir-reg import FILE\n"
    "\n"
    "KEY      ROOT\\SUBKEY, ROOT one of HKLM, HKEY_LOCAL_MACHINE, HKCU, HKEY_CURRENT_USER.\n"
    "/v NAME  the value NAME; /ve the default value (no name); /va every value of the key.\n"
    "/s       query: the key and every key below it. add: the separator of REG_MULTI_SZ\n"
    "         strings (one character; by default the two characters \\0).\n"
    "/t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD, REG_BINARY.\n"
    "/d DATA  text; a decimal or 0x-hexadecimal number for REG_DWORD and REG_QWORD; hex\n"
    "         digits for REG_BINARY (\"0A0BFF\"); strings separated by \\0 for REG_MULTI_SZ.\n"
    "/f       add, delete: overwrite or delete without asking.\n"
    "/y       export: overwrite FILE without asking.\n"
    "/regedit4  export in the ANSI \"REGEDIT4\" form instead of the Unicode form.\n"
    "/reg:32, /reg:64  accepted and ignored: the registry has one view.\n"
    "\n"
    "Without /f (or /y), replacing an existing value or file and deleting ask \"Yes/No\" when\n"
    "standard input is a terminal; otherwise nothing is changed and the exit code is 1.\n"
    "import applies a .reg file (\"Windows Registry Editor Version 5.00\" or \"REGEDIT4\") in one\n"
    "go; a malformed file is refused with its line number and nothing of it is applied.\n"
    "Exit code: 0 on success, 1 on failure.\n";

// Command-line and terminal text is UTF-8; registry names and text are ANSI.
std::string ToAnsi(const std::string& utf8) { return WideToAnsi(Utf8ToWide(utf8)); }
std::string ToUtf8(const std::string& ansi) { return WideToUtf8(AnsiToWide(ansi)); }

std::string Fold(const std::string& s) {
  std::string r(s);
  for (auto& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return r;
}

int Fail(const std::string& message) {
  std::cerr << message << std::endl;
  return 1;
}

int Syntax(const std::string& command, const std::string& why = "") {
  std::cerr << "ERROR: Invalid syntax." << (why.empty() ? "" : " " + why) << "\n"
            << "Type \"zemir-reg " << command << " /?\" for usage." << std::endl;
  return 1;
}

// Asks a Yes/No question on the terminal; without one the answer is no.
bool Confirm(const std::string& question, bool& asked) {
  asked = platform::StdinIsTerminal();
  if (!asked) return false;
  for (;;) {
    std::cout << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    answer = Fold(answer);
    if (answer == "y" || answer == "yes") return true;
    if (answer == "n" || answer == "no") return false;
  }
}

using Key = ScopedKey;

// The parsed command line of one command.
struct Args {
  std::vector<std::string> positional;
  bool hasV = false, ve = false, va = false, s = false, f = false, y = false, regedit4 = false, help = false;
  bool hasT = false, hasD = false, hasSep = false;
  std::string v, t = "REG_SZ", d, sep;
};

// Parses the command's switches; an argument that is no switch of the command (a host path
// such as /tmp/x.reg) is positional. False when a switch lacks its argument.
bool ParseArgs(const std::vector<std::string>& in, const std::string& command, Args& a, std::string& bad) {
  bool values = command == "query" || command == "add" || command == "delete";
  for (size_t i = 0; i < in.size(); ++i) {
    const std::string& arg = in[i];
    std::string sw = arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-') ? Fold(arg.substr(1)) : std::string();
    auto next = [&](std::string& out) {
      if (i + 1 >= in.size()) return false;
      out = in[++i];
      return true;
    };
    bool ok = true;
    if (sw == "?" || sw == "h" || sw == "help") a.help = true;
    else if (sw == "v" && values) ok = a.hasV = next(a.v);
    else if (sw == "ve" && values) a.ve = true;
    else if (sw == "va" && command == "delete") a.va = true;
    else if (sw == "s" && command == "query") a.s = true;
    else if (sw == "s" && command == "add") ok = a.hasSep = next(a.sep);
    else if (sw == "t" && command == "add") ok = a.hasT = next(a.t);
    else if (sw == "d" && command == "add") ok = a.hasD = next(a.d);
    else if (sw == "f" && (command == "add" || command == "delete")) a.f = true;
    else if (sw == "y" && command == "export") a.y = true;
    else if (sw == "regedit4" && command == "export") a.regedit4 = true;
    else if (sw == "reg:32" || sw == "reg:64") continue;  // one registry view: accepted, no effect
    else a.positional.push_back(arg);
    if (!ok) {
      bad = arg;
      return false;
    }
  }
  return true;
}

// KEY as a root and an ANSI subkey.
bool SplitKey(const std::string& arg, HKEY& root, std::string& subkey) {
  if (!RegSplitPath(ToAnsi(arg), root, subkey)) return false;
  while (!subkey.empty() && subkey.back() == '\\') subkey.pop_back();
  return true;
}

std::string TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case 5: return "REG_DWORD_BIG_ENDIAN";
    case 6: return "REG_LINK";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case 8: return "REG_RESOURCE_LIST";
    case 9: return "REG_FULL_RESOURCE_DESCRIPTOR";
    case 10: return "REG_RESOURCE_REQUIREMENTS_LIST";
    case REG_QWORD: return "REG_QWORD";
    default: {
      char buf[32];
      std::snprintf(buf, sizeof buf, "0x%X", static_cast<unsigned>(type));
      return buf;
    }
  }
}

std::string HexText(const std::vector<BYTE>& d) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (BYTE b : d) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

// The data as the query command shows it.
std::string DataText(const RegValue& v) {
  const char* p = reinterpret_cast<const char*>(v.data.data());
  size_t n = v.data.size();
  char buf[32];
  switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return ToUtf8(std::string(p ? p : "", p ? strnlen(p, n) : 0));
    case REG_DWORD:
      if (n == 4) {
        DWORD d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<DWORD>(v.data[3]) << 24);
        std::snprintf(buf, sizeof buf, "0x%x", d);
        return buf;
      }
      return HexText(v.data);
    case REG_QWORD:
      if (n == 8) {
        unsigned long long q = 0;
        for (int i = 7; i >= 0; --i) q = (q << 8) | v.data[static_cast<size_t>(i)];
        std::snprintf(buf, sizeof buf, "0x%llx", q);
        return buf;
      }
      return HexText(v.data);
    case REG_MULTI_SZ: {
      // Strings up to the empty one that ends the list, joined with \0.
      std::vector<std::string> items;
      size_t i = 0;
      while (i < n && p[i]) {
        size_t len = strnlen(p + i, n - i);
        items.emplace_back(p + i, len);
        i += len + 1;
      }
      std::string out;
      for (size_t k = 0; k < items.size(); ++k) out += (k ? "\\0" : "") + ToUtf8(items[k]);
      return out;
    }
    default:
      return HexText(v.data);
  }
}

void PrintValue(const RegValue& v) {
  std::cout << "    " << (v.name.empty() ? "(Default)" : ToUtf8(v.name)) << "    " << TypeName(v.type) << "    "
            << DataText(v) << "\n";
}

bool FindValue(HKEY key, const std::string& name, RegValue& out) {
  std::vector<RegValue> values;
  if (RegListValues(key, values) != ERROR_SUCCESS) return false;
  std::string folded = RegFoldCase(name);
  for (auto& v : values) {
    if (RegFoldCase(v.name) == folded) {
      out = std::move(v);
      return true;
    }
  }
  return false;
}

// Prints one key's values (all, or the one named) and, recursing, the keys below it.
// Returns the number of values printed.
int QueryKey(HKEY key, const Args& a, const std::string* name) {
  int matches = 0;
  std::vector<RegValue> values;
  RegListValues(key, values);
  std::vector<const RegValue*> shown;
  for (const auto& v : values)
    if (!name || RegFoldCase(v.name) == RegFoldCase(*name)) shown.push_back(&v);
  std::vector<std::string> subkeys;
  RegListSubkeys(key, subkeys);
  std::string path = ToUtf8(RegKeyPath(key));
  if (!name || !shown.empty()) {
    std::cout << "\n" << path << "\n";
    for (const RegValue* v : shown) PrintValue(*v);
    matches += static_cast<int>(shown.size());
    if (!a.s && !name) {
      if (!shown.empty() && !subkeys.empty()) std::cout << "\n";
      for (const auto& s : subkeys) std::cout << path << "\\" << ToUtf8(s) << "\n";
    }
  }
  if (a.s) {
    for (const auto& s : subkeys) {
      Key sub;
      if (RegOpenKeyExA(key, s.c_str(), 0, KEY_READ, &sub.h) == ERROR_SUCCESS) matches += QueryKey(sub.h, a, name);
    }
  }
  return matches;
}

int Query(const Args& a) {
  if (a.positional.size() != 1 || (a.hasV && a.ve)) return Syntax("query");
  HKEY root;
  std::string subkey;
  if (!SplitKey(a.positional[0], root, subkey)) return Fail("ERROR: Invalid key name.\nType \"zemir-reg query /?\" for usage.");
  Key key;
  if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, &key.h) != ERROR_SUCCESS) return Fail(kNotFound);
  if (!a.hasV && !a.ve) {
    QueryKey(key.h, a, nullptr);
    std::cout << std::endl;
    return 0;
  }
  std::string name = a.ve ? std::string() : ToAnsi(a.v);
  if (a.s) {
    int n = QueryKey(key.h, a, &name);
    if (n == 0) return Fail(kNotFound);
    std::cout << "\nEnd of search: " << n << " match(es) found." << std::endl;
    return 0;
  }
  RegValue v;
  if (!FindValue(key.h, name, v)) {
    if (!a.ve) return Fail(kNotFound);
    std::cout << "\n" << ToUtf8(RegKeyPath(key.h)) << "\n    (Default)    REG_SZ    (value not set)\n" << std::endl;
    return 0;
  }
  std::cout << "\n" << ToUtf8(RegKeyPath(key.h)) << "\n";
  PrintValue(v);
  std::cout << std::endl;
  return 0;
}

bool ParseNumber(const std::string& s, unsigned long long max, unsigned long long& out) {
  if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  out = std::strtoull(hex ? s.c_str() + 2 : s.c_str(), &end, hex ? 16 : 10);
  return errno == 0 && end && *end == 0 && out <= max;
}

// Turns /t and /d into registry data; false with the reason for a bad one.
bool MakeData(const Args& a, DWORD& type, std::vector<BYTE>& data, std::string& why) {
  std::string t = Fold(a.t);
  data.clear();
  if (t == "reg_sz" || t == "reg_expand_sz") {
    type = t == "reg_sz" ? REG_SZ : REG_EXPAND_SZ;
    std::string s = ToAnsi(a.d);
    data.assign(s.begin(), s.end());
    data.push_back(0);
  } else if (t == "reg_dword" || t == "reg_qword") {
    bool q = t == "reg_qword";
    type = q ? REG_QWORD : REG_DWORD;
    unsigned long long v = 0;
    if (!ParseNumber(a.d, q ? ~0ull : 0xFFFFFFFFull, v)) {
      why = "Specify a valid numeric value for /d.";
      return false;
    }
    for (int i = 0; i < (q ? 8 : 4); ++i) data.push_back(static_cast<BYTE>(v >> (8 * i)));
  } else if (t == "reg_binary") {
    type = REG_BINARY;
    auto digit = [](char c) {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    if (a.d.size() % 2) {
      why = "Specify a valid hexadecimal value for /d (two digits per byte).";
      return false;
    }
    for (size_t i = 0; i < a.d.size(); i += 2) {
      int hi = digit(a.d[i]), lo = digit(a.d[i + 1]);
      if (hi < 0 || lo < 0) {
        why = "Specify a valid hexadecimal value for /d.";
        return false;
      }
      data.push_back(static_cast<BYTE>(hi * 16 + lo));
    }
  } else if (t == "reg_multi_sz") {
    type = REG_MULTI_SZ;
    if (a.hasSep && a.sep.size() != 1) {
      why = "The separator (/s) must be one character.";
      return false;
    }
    std::string sep = a.hasSep ? a.sep : "\\0";
    std::vector<std::string> items;
    if (!a.d.empty()) {
      size_t start = 0;
      for (;;) {
        size_t at = a.d.find(sep, start);
        items.push_back(a.d.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) break;
        start = at + sep.size();
      }
    }
    for (const auto& item : items) {
      if (item.empty()) {
        why = "REG_MULTI_SZ strings may not be empty.";
        return false;
      }
      std::string s = ToAnsi(item);
      data.insert(data.end(), s.begin(), s.end());
      data.push_back(0);
    }
    data.push_back(0);  // the empty string that ends the list
  } else {
    why = "Unknown type \"" + a.t + "\".";
    return false;
  }
  return true;
}

int Add(const Args& a) {
  if (a.positional.size() != 1 || (a.hasV && a.ve)) return Syntax("add");
  HKEY root;
  std::string subkey;
  if (!SplitKey(a.positional[0], root, subkey)) return Fail("ERROR: Invalid key name.\nType \"zemir-reg add /?\" for usage.");
  bool value = a.hasV || a.ve;
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
  std::string why;
  if (value && !MakeData(a, type, data, why)) return Syntax("add", why);
  if (!value && (a.hasT || a.hasD)) return Syntax("add", "/t and /d need /v or /ve.");
  Key key;
  if (LONG rc = RegCreateKeyExA(root, subkey.c_str(), KEY_ALL_ACCESS, &key.h)) {
    return Fail(rc == ERROR_ACCESS_DENIED ? "ERROR: Access is denied." : "ERROR: The registry could not be written (error " + std::to_string(rc) + ").");
  }
  if (value) {
    std::string name = a.ve ? std::string() : ToAnsi(a.v);
    RegValue old;
    if (!a.f && FindValue(key.h, name, old)) {
      bool asked = false;
      std::string shown = a.ve ? "(Default)" : a.v;
      if (!Confirm("Value " + shown + " exists, overwrite", asked)) {
        if (asked) return Fail(kCancelled);
        return Fail("ERROR: Value " + shown + " exists. Add /f to overwrite it (no prompt without a terminal).");
      }
    }
    LONG rc = RegSetValueExA(key.h, name.c_str(), type, data.data(), static_cast<DWORD>(data.size()));
    if (rc == ERROR_ACCESS_DENIED) return Fail("ERROR: Access is denied.");
    if (rc) return Fail("ERROR: The registry could not be written (error " + std::to_string(rc) + ").");
  }
  std::cout << kSuccess << std::endl;
  return 0;
}

int Delete(const Args& a) {
  if (a.positional.size() != 1 || (a.hasV + a.ve + a.va) > 1) return Syntax("delete");
  HKEY root;
  std::string subkey;
  if (!SplitKey(a.positional[0], root, subkey)) return Fail("ERROR: Invalid key name.\nType \"zemir-reg delete /?\" for usage.");
  Key key;
  if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_ALL_ACCESS, &key.h) != ERROR_SUCCESS) return Fail(kNotFound);
  std::string path = ToUtf8(RegKeyPath(key.h));
  bool wholeKey = !a.hasV && !a.ve && !a.va;
  if (wholeKey && subkey.find_first_not_of('\\') == std::string::npos) return Fail("ERROR: A root key cannot be deleted.");
  std::string name = a.ve ? std::string() : ToAnsi(a.v);
  RegValue old;
  if ((a.hasV || a.ve) && !FindValue(key.h, name, old)) return Fail(kNotFound);
  if (!a.f) {
    std::string question = wholeKey ? "Permanently delete the registry key " + path
                           : a.va   ? "Delete all values under the registry key " + path
                                    : "Delete the registry value " + (a.ve ? std::string("(Default)") : a.v);
    bool asked = false;
    if (!Confirm(question, asked)) {
      if (asked) return Fail(kCancelled);
      return Fail("ERROR: Deleting needs confirmation. Add /f to delete without a prompt (no prompt without a terminal).");
    }
  }
  LONG rc = ERROR_SUCCESS;
  if (wholeKey) {
    rc = RegDeleteTreeA(root, subkey.c_str());
  } else if (a.va) {
    std::vector<RegValue> values;
    rc = RegListValues(key.h, values);
    for (size_t i = 0; rc == ERROR_SUCCESS && i < values.size(); ++i) rc = RegDeleteValueA(key.h, values[i].name.c_str());
  } else {
    rc = RegDeleteValueA(key.h, name.c_str());
  }
  if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_KEY_DELETED) return Fail(kNotFound);
  if (rc == ERROR_ACCESS_DENIED) return Fail("ERROR: Access is denied.");
  if (rc) return Fail("ERROR: The registry could not be written (error " + std::to_string(rc) + ").");
  std::cout << kSuccess << std::endl;
  return 0;
}

int Export(const Args& a) {
  if (a.positional.size() != 2) return Syntax("export");
  HKEY root;
  std::string subkey;
  if (!SplitKey(a.positional[0], root, subkey)) return Fail("ERROR: Invalid key name.\nType \"zemir-reg export /?\" for usage.");
  const std::string& file = a.positional[1];
  Key key;
  if (RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, &key.h) != ERROR_SUCCESS) return Fail(kNotFound);
  std::error_code ec;
  if (!a.y && std::filesystem::exists(file, ec)) {
    bool asked = false;
    if (!Confirm("File " + file + " already exists. Overwrite", asked)) {
      if (asked) return Fail(kCancelled);
      return Fail("ERROR: File " + file + " already exists. Add /y to overwrite it (no prompt without a terminal).");
    }
  }
  std::string error;
  LONG rc = ExportRegFile(root, subkey, file, a.regedit4 ? RegFileFormat::Ansi : RegFileFormat::Unicode, error);
  if (rc == ERROR_FILE_NOT_FOUND) return Fail(kNotFound);
  if (rc) return Fail("ERROR: " + error);
  std::cout << kSuccess << std::endl;
  return 0;
}

int Import(const Args& a) {
  if (a.positional.size() != 1) return Syntax("import");
  std::string error;
  LONG rc = ImportRegFile(a.positional[0], error);
  if (rc == ERROR_INVALID_PARAMETER) return Fail("ERROR: " + a.positional[0] + ": " + error + "\nNothing was imported.");
  if (rc) return Fail("ERROR: " + error + "\nNothing was imported.");
  std::cout << kSuccess << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::cerr << "ERROR: Invalid syntax.\n" << kUsage;
    return 1;
  }
  std::string command = Fold(args[0]);
  if (command == "/?" || command == "-?" || command == "/h" || command == "-h" || command == "--help") {
    std::cout << kUsage;
    return 0;
  }
  if (command != "query" && command != "add" && command != "delete" && command != "export" && command != "import") {
    std::cerr << "ERROR: Invalid syntax.\n" << kUsage;
    return 1;
  }
  Args a;
  std::string bad;
  if (!ParseArgs(std::vector<std::string>(args.begin() + 1, args.end()), command, a, bad)) {
    return Syntax(command, bad + " needs an argument.");
  }
  if (a.help) {
    std::cout << kUsage;
    return 0;
  }
  if (command == "query") return Query(a);
  if (command == "add") return Add(a);
  if (command == "delete") return Delete(a);
  if (command == "export") return Export(a);
  return Import(a);
}
