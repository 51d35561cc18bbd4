// The UI text catalogue: LS by id and by key, LS_EN, over the language files read once.
#include "zemir/common/ls.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/platform/codepage.h"
#include "zemir/platform/fs.h"
#include "zemir/platform/prefix.h"

namespace zemir {

namespace {

struct TableEntry {
  UINT id;
  const char* text;
};
constexpr TableEntry kStringTable[] = {
#include "ls_table.inc"
};

// Limits of the lookups' buffers.
constexpr size_t kLineTextLimit = 490;    // a narrow text's line part from the quote: fewer than this
constexpr size_t kWideTextLimit = 489;    // a UTF-16 text, in code units
constexpr size_t kWideAnsiBuffer = 255;   // the ANSI result of a UTF-16 text, terminator included
constexpr size_t kNameLimit = 400;        // a symbolic name from the name header: fewer than this
constexpr size_t kDefineReach = 60;       // from the id back to the "#" of its define line
constexpr size_t kDefineSkip = 8;         // "#define "
constexpr size_t kTableLong = 789;        // the string table's text when the files are missing
constexpr size_t kTableShort = 199;       // the string table's text when the name is not found
constexpr size_t kTextTestBytes = 50;     // bytes the text test looks at
// Language files are a few kilobytes; anything beyond this is not one and is not read.
constexpr long long kMaxFileSize = 16ll << 20;

// One language file, read whole on first need and kept; a missing one is remembered.
struct LangFile {
  bool tried = false;
  bool missing = true;
  std::vector<char> data;  // contents followed by zero bytes
  size_t size = 0;
  std::u16string wide;     // the contents as UTF-16 code units, made on first wide search
  bool wideMade = false;

  // The contents up to the first zero byte, as a plain string search sees them.
  std::string_view Narrow() const { return data.empty() ? std::string_view() : std::string_view(data.data()); }
  // The contents as UTF-16 code units up to the first zero unit.
  const std::u16string& Wide() {
    if (!wideMade) {
      wideMade = true;
      wide.resize(size / 2);
      if (!wide.empty()) std::memcpy(wide.data(), data.data(), wide.size() * 2);
      size_t nul = wide.find(u'\0');
      if (nul != std::u16string::npos) wide.resize(nul);
    }
    return wide;
  }
  void Forget() {
    missing = true;
    data.clear();
    data.shrink_to_fit();
    size = 0;
    wide.clear();
    wideMade = false;
  }
};

enum class Kind { Table, Header, Script, English };

struct State {
  std::mutex mu;
  LangFile table, header, script, english;
  bool tableWide = false;
  std::string moduleDir;  // stands in for the executable's folder in tests
};

State& St() {
  static State* s = new State;  // lives until the process ends
  return *s;
}

// Joins a folder and a relative path written with backslashes. A host folder (a POSIX path)
// keeps host separators, so that both kinds of ZemirPath resolve.
std::string JoinPath(std::string base, std::string rel) {
  bool host = !base.empty() && base[0] == '/';
  if (host) std::replace(rel.begin(), rel.end(), '\\', '/');
  char sep = host ? '/' : '\\';
  if (!base.empty() && base.back() != '\\' && base.back() != '/') base.push_back(sep);
  return base + rel;
}

std::string FilePath(Kind kind, const std::string& moduleDir) {
  char zemirPath[300];
  ReadRegText(HKEY_LOCAL_MACHINE, kProductKey, "ZemirPath", zemirPath, sizeof zemirPath);
  if (zemirPath[0]) {
    char language[30];
    ReadRegText(HKEY_LOCAL_MACHINE, kProductKey, "Language", language, sizeof language);
    switch (kind) {
      case Kind::Table: return JoinPath(zemirPath, std::string("languages\\") + language + ".txt");
      case Kind::Header: return JoinPath(zemirPath, "languages\\strings.h");
      case Kind::Script: return JoinPath(zemirPath, std::string("languages\\") + language + ".js");
      case Kind::English: return JoinPath(zemirPath, "languages\\english.js");
    }
  }
  std::string dir = moduleDir.empty() ? platform::ModuleDir() : moduleDir;
  switch (kind) {
    case Kind::Table: return JoinPath(dir, "_zemir\\lang.txt");
    case Kind::Header: return JoinPath(dir, "_zemir\\strings.h");
    case Kind::Script:
    case Kind::English: return JoinPath(dir, "_zemir\\lang.js");
  }
  return {};
}

// Reads the file on the first call; afterwards answers from memory. `logMissing` says whether a
// file that does not exist is logged; `readError` is the line for a file that reads empty.
bool Load(LangFile& f, const std::string& path, bool logMissing, const char* readError) {
  if (f.tried) return !f.missing;
  f.tried = true;
  f.Forget();
  std::string host = platform::HostPath(path);
  struct stat st{};
  if (host.empty() || stat(host.c_str(), &st) != 0) {
    if (logMissing) Trace("LS: err %s", path.c_str());
    return false;
  }
  size_t got = 0;
  if (S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= kMaxFileSize) {
    if (std::FILE* fp = std::fopen(host.c_str(), "rb")) {
      size_t size = static_cast<size_t>(st.st_size);
      f.data.assign(size + 10, 0);
      got = std::fread(f.data.data(), 1, size, fp);
      std::fclose(fp);
    }
  }
  if (got == 0) {
    f.Forget();
    Trace(readError, path.c_str());
    return false;
  }
  f.size = got;
  f.missing = false;
  return true;
}

// The string table's text, at most `maxChars` UTF-16 code units (a surrogate pair is not split).
std::u16string TableWide(UINT id, size_t maxChars) {
  const char* t = StringTableText(id);
  if (!t) return {};
  std::u16string w = Utf8ToWide(t);
  if (w.size() > maxChars) {
    size_t n = maxChars;
    if (n > 0 && w[n - 1] >= 0xD800 && w[n - 1] <= 0xDBFF) --n;
    w.resize(n);
  }
  return w;
}

std::string TableAnsi(UINT id, size_t maxChars) { return WideToAnsi(TableWide(id, maxChars)); }

// The ANSI form of a UTF-16 text in a buffer of 255 bytes: a text that needs more is cut at a
// character boundary so that no character is left half.
std::string WideToAnsiBuffer(const std::u16string& w) {
  constexpr size_t room = kWideAnsiBuffer - 1;
  std::string out = WideToAnsi(w);
  if (out.size() <= room) return out;
  // The longest prefix that fits: lo always fits, hi never does.
  size_t lo = 0, hi = w.size();
  while (hi - lo > 1) {
    size_t mid = lo + (hi - lo) / 2;
    if (WideToAnsi(std::u16string_view(w).substr(0, mid)).size() <= room) lo = mid;
    else hi = mid;
  }
  if (lo > 0 && w[lo - 1] >= 0xD800 && w[lo - 1] <= 0xDBFF) --lo;
  return WideToAnsi(std::u16string_view(w).substr(0, lo));
}

// Replaces every backslash-n pair by a blank and a line feed; the length stays the same.
template <class Str>
void ExpandLineBreaks(Str& t) {
  for (size_t i = 0; i + 1 < t.size(); ++i) {
    if (t[i] == '\\' && t[i + 1] == 'n') {
      t[i] = ' ';
      t[i + 1] = '\n';
      ++i;
    }
  }
}

// The text of a narrow line whose name or key was found at `match`; empty when there is none.
std::string ExtractNarrow(std::string_view file, size_t match) {
  size_t quote = file.find('"', match + 1);
  if (quote == std::string_view::npos) return {};
  size_t eol = file.find_first_of("\r\n", quote + 1);
  if (eol == std::string_view::npos) return {};  // the last line without a line end
  size_t len = eol - (quote + 1);
  if (len >= kLineTextLimit || len == 0) return {};
  std::string t(file.substr(quote + 1, len - 1));  // less the closing quote or the ";" after it
  ExpandLineBreaks(t);
  if (!t.empty() && t.back() == '"') t.pop_back();
  return t;
}

// Finds `key` followed by a blank, else a tab, else "=". `tried` gets the last pattern tried.
size_t FindKey(std::string_view file, const std::string& key, std::string* tried) {
  size_t at = std::string_view::npos;
  for (char sep : {' ', '\t', '='}) {
    *tried = key + sep;
    at = file.find(*tried);
    if (at != std::string_view::npos) break;
  }
  return at;
}

// The symbolic name on the define line of the first occurrence of `id` in the name header.
template <class Str>
Str NameForId(const Str& header, const Str& id) {
  size_t at = header.find(id);
  if (at == Str::npos) return {};
  size_t hash = Str::npos;
  for (size_t back = 0; back <= kDefineReach && back <= at; ++back) {
    if (header[at - back] == '#') {
      hash = at - back;
      break;
    }
  }
  if (hash == Str::npos) return {};
  size_t start = hash + kDefineSkip;
  if (start >= header.size()) return {};
  size_t end = start;
  while (end < header.size() && header[end] != ' ' && header[end] != '\t') ++end;
  if (end - start >= kNameLimit) return {};
  return header.substr(start, end - start);
}

std::string LsNarrow(State& s, UINT id) {
  int n = static_cast<int>(id);
  std::string_view header = s.header.Narrow();
  std::string name(NameForId(header, std::string_view(std::to_string(id))));
  if (name.empty()) {
    std::string t = TableAnsi(id, kTableShort);
    Trace("LS(%d)", n);
    if (!t.empty()) return t;
  } else {
    std::string_view table = s.table.Narrow();
    size_t at = table.find(name + ' ');
    if (at == std::string_view::npos) at = table.find(name + '\t');
    std::string t = at == std::string_view::npos ? std::string() : ExtractNarrow(table, at);
    if (!t.empty()) return t;
    Trace("LS2(%d).", n);
  }
  Trace("LS3(%d).", n);
  return TableAnsi(id, kTableLong);
}

std::string LsWide(State& s, UINT id) {
  std::u16string idText = Utf8ToWide(std::to_string(id));
  const std::u16string& header = s.header.Wide();
  std::u16string name = NameForId(header, idText);
  std::string t;
  if (name.empty()) {
    t = WideToAnsiBuffer(TableWide(id, kTableShort));
  } else {
    const std::u16string& table = s.table.Wide();
    size_t at = table.find(name + u' ');
    if (at == std::u16string::npos) at = table.find(name + u'\t');
    if (at != std::u16string::npos) {
      size_t quote = table.find(u'"', at + 1);
      if (quote != std::u16string::npos) {
        size_t end = table.find(u'"', quote + 1);
        size_t len = std::min(end == std::u16string::npos ? table.size() - quote - 1 : end - quote - 1, kWideTextLimit);
        std::u16string w = table.substr(quote + 1, len);
        ExpandLineBreaks(w);
        t = WideToAnsiBuffer(w);
      }
    }
  }
  if (!t.empty()) return t;
  Trace("LS3(%d).", static_cast<int>(id));
  return TableAnsi(id, kTableLong);
}

std::string LsEnLocked(State& s, const std::string& key) {
  if (!Load(s.english, FilePath(Kind::English, s.moduleDir), true, "LS: error read %s")) {
    Trace("LS_EN(%s).", key.c_str());
    return key;
  }
  if (key.empty()) {
    Trace("LS_EN(%s)", key.c_str());
    return {};
  }
  std::string_view file = s.english.Narrow();
  std::string tried;
  size_t at = FindKey(file, key, &tried);
  Trace("LS0(%s)", tried.c_str());
  std::string t = at == std::string_view::npos ? std::string() : ExtractNarrow(file, at);
  if (!t.empty()) return t;
  Trace("LS_EN(%s).", key.c_str());
  return key;
}

}  // namespace

const char* StringTableText(UINT id) {
  auto it = std::lower_bound(std::begin(kStringTable), std::end(kStringTable), id,
                             [](const TableEntry& e, UINT v) { return e.id < v; });
  return it != std::end(kStringTable) && it->id == id ? it->text : nullptr;
}

bool IsTextUnicode(const void* buf, int size) {
  const unsigned char* b = static_cast<const unsigned char*>(buf);
  if (!b || size < 2) return false;
  if (b[0] == 0xFF && b[1] == 0xFE) return true;   // byte-order mark, little-endian
  if (b[0] == 0xFE && b[1] == 0xFF) return false;  // byte-order mark, big-endian
  if (size % 2) return false;                      // UTF-16 text has an even length
  int units = size / 2, zeroHigh = 0, zeroLow = 0;
  for (int i = 0; i < units; ++i) {
    unsigned u = b[2 * i] | (b[2 * i + 1] << 8);
    // Never in UTF-16 text: the zero character, non-characters, and CR LF packed in one unit
    // (a narrow line end at an even offset).
    if (u == 0 || u == 0xFFFF || u == 0xFFFE || u == 0x0A0D) return false;
    if ((u >> 8) == 0) ++zeroHigh;
    if ((u & 0xFF) == 0) ++zeroLow;
  }
  // Narrow text has no zero bytes; UTF-16 of Latin text has a zero high byte in most units.
  // Zero bytes mostly at even offsets are big-endian UTF-16.
  return zeroHigh > zeroLow && zeroHigh * 2 > units;
}

std::string LS(UINT id) {
  State& s = St();
  std::lock_guard lk(s.mu);
  bool first = !s.table.tried;
  bool ok = Load(s.table, FilePath(Kind::Table, s.moduleDir), false, "LS: error read %s");
  if (ok && first) s.tableWide = IsTextUnicode(s.table.data.data(), static_cast<int>(std::min(s.table.size, kTextTestBytes)));
  if (ok && !Load(s.header, FilePath(Kind::Header, s.moduleDir), false, "LS: error read2 %s")) {
    s.table.Forget();  // both files are needed
    ok = false;
  }
  if (!ok) {
    Trace("LS3(%d).", static_cast<int>(id));
    return TableAnsi(id, kTableLong);
  }
  return s.tableWide ? LsWide(s, id) : LsNarrow(s, id);
}

std::string LS(const char* keyText) {
  State& s = St();
  std::lock_guard lk(s.mu);
  std::string key = keyText ? keyText : "";
  bool ok = Load(s.script, FilePath(Kind::Script, s.moduleDir), true, "LS: error read %s");
  if (ok && key.empty()) return {};
  if (ok) {
    std::string_view file = s.script.Narrow();
    std::string tried;
    size_t at = FindKey(file, key, &tried);
    std::string t = at == std::string_view::npos ? std::string() : ExtractNarrow(file, at);
    if (!t.empty()) return t;
  }
  return LsEnLocked(s, key);
}

std::string LS_EN(const char* keyText) {
  State& s = St();
  std::lock_guard lk(s.mu);
  return LsEnLocked(s, keyText ? keyText : "");
}

void LS_ResetForTesting(const std::string& moduleDir) {
  State& s = St();
  std::lock_guard lk(s.mu);
  for (LangFile* f : {&s.table, &s.header, &s.script, &s.english}) *f = LangFile();
  s.tableWide = false;
  s.moduleDir = moduleDir;
}

}  // namespace zemir
