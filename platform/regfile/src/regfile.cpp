// .reg files: parsing the whole file before anything is applied, applying it per hive in one
// transaction, and writing keys back in the form regedit writes them.
#include "zemir/platform/regfile.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace zemir {

namespace {

constexpr std::u16string_view kUnicodeHeader = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kAnsiHeader = u"REGEDIT4";
// Hex data lines are broken once they reach this many characters, as regedit breaks them;
// with the continuation backslash no line passes 80 columns.
constexpr size_t kHexLineWidth = 77;

struct Line {
  std::u16string_view text;
  int number;
};

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool StartsWithNoCase(std::u16string_view s, size_t pos, std::u16string_view prefix) {
  if (s.size() - pos < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (Lower(s[pos + i]) != prefix[i]) return false;
  return true;
}

std::u16string_view TrimRight(std::u16string_view s) {
  while (!s.empty() && (IsBlank(s.back()) || s.back() == 0)) s.remove_suffix(1);
  return s;
}

size_t SkipBlanks(std::u16string_view s, size_t pos) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  return pos;
}

// Only blanks, or a ';' comment, from `pos` to the end of the line.
bool RestIsEmpty(std::u16string_view s, size_t pos) {
  pos = SkipBlanks(s, pos);
  return pos == s.size() || s[pos] == u';';
}

std::vector<Line> SplitLines(std::u16string_view text) {
  std::vector<Line> lines;
  int number = 1;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'\r' && text[i] != u'\n') continue;
    lines.push_back({text.substr(start, i - start), number++});
    if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back({text.substr(start), number});
  return lines;
}

std::string LineError(int line, const std::string& reason) { return "line " + std::to_string(line) + ": " + reason; }

// The file's bytes as wide text: UTF-16LE after its byte-order mark, UTF-8 after its mark or
// under the Unicode header, the ANSI code page under "REGEDIT4".
bool Decode(std::string_view bytes, UINT codepage, std::u16string& text, std::string& error) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
    size_t n = (bytes.size() - 2) / 2;
    text.resize(n);
    for (size_t i = 0; i < n; ++i) text[i] = static_cast<char16_t>(byte(2 + 2 * i) | (byte(3 + 2 * i) << 8));
    if (bytes.size() % 2) {
      error = LineError(static_cast<int>(SplitLines(text).size()) + 1, "the file ends inside a UTF-16 character");
      return false;
    }
    return true;
  }
  if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
    text = Utf8ToWide(bytes.substr(3));
    return true;
  }
  size_t start = bytes.find_first_not_of(" \t\r\n");
  if (start != std::string_view::npos && bytes.substr(start, kAnsiHeader.size()) == "REGEDIT4")
    text = AnsiToWide(bytes, codepage);
  else text = Utf8ToWide(bytes);
  return true;
}

class Parser {
 public:
  Parser(std::vector<Line> lines, UINT codepage, RegFile& out) : lines_(std::move(lines)), cp_(codepage), out_(out) {}

  bool Run() {
    size_t i = 0;
    while (i < lines_.size() && TrimRight(lines_[i].text).empty()) ++i;
    std::u16string_view header = i < lines_.size() ? TrimRight(lines_[i].text) : std::u16string_view();
    if (header == kUnicodeHeader) out_.format = RegFileFormat::Unicode;
    else if (header == kAnsiHeader) out_.format = RegFileFormat::Ansi;
    else
      return Fail(i < lines_.size() ? lines_[i].number : 1,
                  "bad header: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    for (++i; i < lines_.size(); ++i) {
      std::u16string_view s = lines_[i].text;
      size_t p = SkipBlanks(s, 0);
      if (RestIsEmpty(s, p)) continue;  // blank line or comment
      if (s[p] == u'[') {
        if (!KeyLine(lines_[i], p)) return false;
      } else if (s[p] == u'"' || s[p] == u'@') {
        if (!ValueLine(i, p)) return false;
      } else {
        return Fail(lines_[i].number, "unrecognised line");
      }
    }
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  bool Fail(int line, const std::string& reason) {
    error_ = LineError(line, reason);
    return false;
  }

  std::string Ansi(std::u16string_view w) const { return WideToAnsi(w, cp_); }

  bool KeyLine(const Line& line, size_t p) {
    std::u16string_view s = line.text;
    // The closing bracket is the first one after which only blanks or a comment follow, so
    // that key names may hold ']' and comments may too.
    size_t close = s.find(u']', p);
    while (close != std::u16string_view::npos && !RestIsEmpty(s, close + 1)) close = s.find(u']', close + 1);
    if (close == std::u16string_view::npos) {
      return Fail(line.number, s.find(u']', p) == std::u16string_view::npos ? "missing ']' after the key name"
                                                                             : "unexpected text after the key name");
    }
    std::u16string_view name = s.substr(p + 1, close - p - 1);
    bool remove = !name.empty() && name[0] == u'-';
    if (remove) name.remove_prefix(1);
    RegFileOp op;
    op.kind = remove ? RegFileOp::Kind::DeleteKey : RegFileOp::Kind::CreateKey;
    op.line = line.number;
    if (!RegSplitPath(Ansi(name), op.root, op.subkey)) {
      std::u16string_view head = name.substr(0, name.find(u'\\'));
      return Fail(line.number, "unknown root key \"" + WideToUtf8(head) + "\"");
    }
    if (remove && op.subkey.find_first_not_of('\\') == std::string::npos)
      return Fail(line.number, "a root key cannot be deleted");
    haveKey_ = true;
    keyDeleted_ = remove;
    root_ = op.root;
    subkey_ = op.subkey;
    out_.ops.push_back(std::move(op));
    return true;
  }

  // A quoted text with \\ and \" escapes; `p` stands on the opening quote and ends past the
  // closing one. Any other backslash is kept as it stands.
  static bool QuotedText(std::u16string_view s, size_t& p, std::u16string& out) {
    out.clear();
    for (++p; p < s.size(); ++p) {
      char16_t c = s[p];
      if (c == u'"') {
        ++p;
        return true;
      }
      if (c == u'\\' && p + 1 < s.size() && (s[p + 1] == u'\\' || s[p + 1] == u'"')) c = s[++p];
      out.push_back(c);
    }
    return false;
  }

  bool ValueLine(size_t& i, size_t p) {
    const Line& line = lines_[i];
    std::u16string_view s = line.text;
    if (!haveKey_) return Fail(line.number, "value before any key");
    if (keyDeleted_) return Fail(line.number, "value under a key that is being deleted");
    RegFileOp op;
    op.kind = RegFileOp::Kind::SetValue;
    op.line = line.number;
    op.root = root_;
    op.subkey = subkey_;
    if (s[p] == u'@') {
      ++p;
    } else {
      std::u16string name;
      if (!QuotedText(s, p, name)) return Fail(line.number, "unterminated string in the value name");
      op.name = Ansi(name);
    }
    p = SkipBlanks(s, p);
    if (p >= s.size() || s[p] != u'=') return Fail(line.number, "expected '=' after the value name");
    p = SkipBlanks(s, p + 1);
    if (p < s.size() && s[p] == u'"') {
      std::u16string text;
      if (!QuotedText(s, p, text)) return Fail(line.number, "unterminated string");
      if (!RestIsEmpty(s, p)) return Fail(line.number, "unexpected text after the string");
      std::string ansi = Ansi(text);
      op.type = REG_SZ;
      op.data.assign(ansi.begin(), ansi.end());
      op.data.push_back(0);
    } else if (p < s.size() && s[p] == u'-' && RestIsEmpty(s, p + 1)) {
      op.kind = RegFileOp::Kind::DeleteValue;
    } else if (StartsWithNoCase(s, p, u"dword:")) {
      p += 6;
      DWORD v = 0;
      size_t digits = 0;
      for (; p < s.size() && HexDigit(s[p]) >= 0; ++p, ++digits) v = v * 16 + static_cast<DWORD>(HexDigit(s[p]));
      if (digits == 0 || digits > 8 || !RestIsEmpty(s, p)) return Fail(line.number, "bad dword value");
      op.type = REG_DWORD;
      op.data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
    } else if (StartsWithNoCase(s, p, u"hex")) {
      p += 3;
      op.type = REG_BINARY;
      if (p < s.size() && s[p] == u'(') {
        DWORD t = 0;
        size_t digits = 0;
        for (++p; p < s.size() && HexDigit(s[p]) >= 0; ++p, ++digits) t = t * 16 + static_cast<DWORD>(HexDigit(s[p]));
        if (digits == 0 || digits > 8 || p >= s.size() || s[p] != u')') return Fail(line.number, "bad hex type");
        ++p;
        op.type = t;
      }
      if (p >= s.size() || s[p] != u':') return Fail(line.number, "bad hex type");
      if (!HexBytes(i, p + 1, op.data)) return false;
      if (!TextTypeToAnsi(op)) return false;
    } else {
      return Fail(line.number, "unrecognised value data");
    }
    out_.ops.push_back(std::move(op));
    return true;
  }

  // Comma-separated hexadecimal bytes from `p` of line `i`; a trailing backslash continues
  // them on the next line. `i` ends on the last line used.
  bool HexBytes(size_t& i, size_t p, std::vector<BYTE>& out) {
    std::u16string_view s = lines_[i].text;
    bool expectByte = true;
    for (;;) {
      p = SkipBlanks(s, p);
      if (p >= s.size() || s[p] == u';') return true;
      if (s[p] == u'\\') {
        if (!RestIsEmpty(s, p + 1)) return Fail(lines_[i].number, "bad hex value");
        // Comment lines may sit between continued lines.
        do {
          if (++i >= lines_.size()) return Fail(lines_[i - 1].number, "the file ends after a line continuation");
          s = lines_[i].text;
          p = SkipBlanks(s, 0);
        } while (p < s.size() && s[p] == u';');
        continue;
      }
      int hi = HexDigit(s[p]);
      if (!expectByte || hi < 0) return Fail(lines_[i].number, "bad hex value");
      ++p;
      int lo = p < s.size() ? HexDigit(s[p]) : -1;
      if (lo >= 0) {
        out.push_back(static_cast<BYTE>(hi * 16 + lo));
        ++p;
      } else {
        out.push_back(static_cast<BYTE>(hi));
      }
      p = SkipBlanks(s, p);
      expectByte = p < s.size() && s[p] == u',';
      if (expectByte) ++p;
    }
  }

  // Text types given as hex carry UTF-16LE in the Unicode form and ANSI in REGEDIT4; the
  // registry keeps ANSI.
  bool TextTypeToAnsi(RegFileOp& op) {
    if (out_.format != RegFileFormat::Unicode) return true;
    if (op.type != REG_SZ && op.type != REG_EXPAND_SZ && op.type != REG_MULTI_SZ) return true;
    if (op.data.size() % 2) return Fail(op.line, "bad hex value: odd byte count for UTF-16 text");
    std::u16string w(op.data.size() / 2, u'\0');
    for (size_t k = 0; k < w.size(); ++k) w[k] = static_cast<char16_t>(op.data[2 * k] | (op.data[2 * k + 1] << 8));
    std::string ansi = Ansi(w);
    op.data.assign(ansi.begin(), ansi.end());
    return true;
  }

  std::vector<Line> lines_;
  UINT cp_;
  RegFile& out_;
  std::string error_;
  bool haveKey_ = false;
  bool keyDeleted_ = false;
  HKEY root_ = nullptr;
  std::string subkey_;
};

using KeyHandle = ScopedKey;

// Writes keys in regedit's form, as ANSI text; the Unicode form is converted at the end.
class Writer {
 public:
  Writer(RegFileFormat format, UINT codepage) : format_(format), cp_(codepage) {
    Line(format == RegFileFormat::Unicode ? "Windows Registry Editor Version 5.00" : "REGEDIT4");
    Line("");
  }

  void Key(HKEY key) {
    Line("[" + RegKeyPath(key) + "]");
    std::vector<RegValue> values;
    if (RegListValues(key, values) == ERROR_SUCCESS) {
      // The default value first, as regedit lists it.
      for (const auto& v : values)
        if (v.name.empty()) Value(v);
      for (const auto& v : values)
        if (!v.name.empty()) Value(v);
    }
    Line("");
    std::vector<std::string> subkeys;
    if (RegListSubkeys(key, subkeys) != ERROR_SUCCESS) return;
    for (const auto& name : subkeys) {
      KeyHandle sub;
      if (RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &sub.h) == ERROR_SUCCESS) Key(sub.h);
    }
  }

  std::string Bytes() const {
    if (format_ == RegFileFormat::Ansi) return text_;
    std::u16string w = AnsiToWide(text_, cp_);
    std::string out("\xFF\xFE", 2);
    out.reserve(2 + w.size() * 2);
    for (char16_t c : w) {
      out.push_back(static_cast<char>(c & 0xFF));
      out.push_back(static_cast<char>(c >> 8));
    }
    return out;
  }

 private:
  void Line(const std::string& s) {
    text_ += s;
    text_ += "\r\n";
  }

  static std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
      if (c == '\\' || c == '"') out.push_back('\\');
      out.push_back(c);
    }
    return out;
  }

  // Width of ANSI text in characters of the written file.
  size_t Width(const std::string& ansi) const {
    return format_ == RegFileFormat::Unicode ? AnsiToWide(ansi, cp_).size() : ansi.size();
  }

  // A REG_SZ that reads back the same through "quoted" form: one terminator at the end, no
  // other zero, and no line break that would split the line.
  static bool PlainString(const std::vector<BYTE>& d) {
    if (d.empty() || d.back() != 0) return false;
    for (size_t i = 0; i + 1 < d.size(); ++i)
      if (d[i] == 0 || d[i] == '\r' || d[i] == '\n') return false;
    return true;
  }

  // Text data as the file carries it: UTF-16LE in the Unicode form, ANSI in REGEDIT4.
  std::vector<BYTE> TextBytes(const std::vector<BYTE>& d) const {
    if (format_ == RegFileFormat::Ansi) return d;
    std::u16string w = AnsiToWide(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()), cp_);
    std::vector<BYTE> out;
    out.reserve(w.size() * 2);
    for (char16_t c : w) {
      out.push_back(static_cast<BYTE>(c & 0xFF));
      out.push_back(static_cast<BYTE>(c >> 8));
    }
    return out;
  }

  void Value(const RegValue& v) {
    std::string lead = v.name.empty() ? "@=" : "\"" + Escape(v.name) + "\"=";
    char buf[32];
    switch (v.type) {
      case REG_SZ:
        if (PlainString(v.data)) {
          Line(lead + "\"" + Escape(std::string(v.data.begin(), v.data.end() - 1)) + "\"");
          return;
        }
        Hex(lead, "hex(1):", TextBytes(v.data));
        return;
      case REG_DWORD:
        if (v.data.size() == 4) {
          DWORD d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) | (static_cast<DWORD>(v.data[3]) << 24);
          std::snprintf(buf, sizeof buf, "dword:%08x", d);
          Line(lead + buf);
          return;
        }
        Hex(lead, "hex(4):", v.data);
        return;
      case REG_BINARY:
        Hex(lead, "hex:", v.data);
        return;
      case REG_EXPAND_SZ:
      case REG_MULTI_SZ:
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        Hex(lead, buf, TextBytes(v.data));
        return;
      default:
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
        Hex(lead, buf, v.data);
        return;
    }
  }

  // "xx,xx,..." in lower case, broken with "\" and a two-blank indent where regedit breaks.
  void Hex(const std::string& lead, const std::string& type, const std::vector<BYTE>& data) {
    static const char kDigits[] = "0123456789abcdef";
    std::string line = lead + type;
    size_t width = Width(lead) + type.size();
    for (size_t i = 0; i < data.size(); ++i) {
      line.push_back(kDigits[data[i] >> 4]);
      line.push_back(kDigits[data[i] & 15]);
      if (i + 1 == data.size()) break;
      line.push_back(',');
      width += 3;
      if (width >= kHexLineWidth) {
        Line(line + "\\");
        line = "  ";
        width = 2;
      }
    }
    Line(line);
  }

  RegFileFormat format_;
  UINT cp_;
  std::string text_;
};

}  // namespace

bool ParseRegFile(std::string_view bytes, RegFile& out, std::string& error, UINT codepage) {
  out = RegFile();
  error.clear();
  UINT cp = codepage == CP_ACP ? GetACP() : codepage;
  std::u16string text;
  if (!Decode(bytes, cp, text, error)) return false;
  Parser parser(SplitLines(text), cp, out);
  if (!parser.Run()) {
    error = parser.error();
    out.ops.clear();
    return false;
  }
  return true;
}

LONG ApplyRegFile(const RegFile& file, std::string& error) {
  error.clear();
  std::vector<HKEY> roots;
  for (const auto& op : file.ops)
    if (std::find(roots.begin(), roots.end(), op.root) == roots.end()) roots.push_back(op.root);
  // Always the same order, so that two imports never wait for each other's second hive.
  std::sort(roots.begin(), roots.end());
  std::vector<HKEY> begun;
  auto rollback = [&] {
    for (HKEY r : begun) RegEndTransaction(r, false);
    begun.clear();
  };
  for (HKEY r : roots) {
    if (LONG rc = RegBeginTransaction(r)) {
      rollback();
      error = "cannot write " + RegKeyPath(r) + " (error " + std::to_string(rc) + ")";
      return rc;
    }
    begun.push_back(r);
  }
  KeyHandle cur;
  for (const auto& op : file.ops) {
    LONG rc = ERROR_SUCCESS;
    const char* what = "";
    switch (op.kind) {
      case RegFileOp::Kind::CreateKey:
        cur.Reset();
        what = "cannot create the key";
        rc = RegCreateKeyExA(op.root, op.subkey.c_str(), KEY_ALL_ACCESS, &cur.h);
        break;
      case RegFileOp::Kind::DeleteKey:
        cur.Reset();
        what = "cannot delete the key";
        rc = RegDeleteTreeA(op.root, op.subkey.c_str());
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
        break;
      case RegFileOp::Kind::SetValue:
        what = "cannot set the value";
        rc = cur.h ? RegSetValueExA(cur.h, op.name.c_str(), op.type, op.data.data(), static_cast<DWORD>(op.data.size()))
                   : ERROR_INVALID_HANDLE;
        break;
      case RegFileOp::Kind::DeleteValue:
        what = "cannot delete the value";
        rc = cur.h ? RegDeleteValueA(cur.h, op.name.c_str()) : ERROR_INVALID_HANDLE;
        if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
        break;
    }
    if (rc != ERROR_SUCCESS) {
      cur.Reset();
      rollback();
      error = LineError(op.line, std::string(what) + " (error " + std::to_string(rc) + ")");
      return rc;
    }
  }
  cur.Reset();
  while (!begun.empty()) {
    HKEY r = begun.front();
    begun.erase(begun.begin());
    if (LONG rc = RegEndTransaction(r, true)) {
      rollback();
      error = "cannot commit the changes to " + RegKeyPath(r) + " (error " + std::to_string(rc) + ")";
      return rc;
    }
  }
  return ERROR_SUCCESS;
}

LONG ImportRegFile(const std::string& path, std::string& error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return ERROR_FILE_NOT_FOUND;
  }
  std::stringstream ss;
  ss << f.rdbuf();
  if (f.bad()) {
    error = "cannot read " + path;
    return ERROR_CANTREAD;
  }
  RegFile file;
  if (!ParseRegFile(ss.str(), file, error)) return ERROR_INVALID_PARAMETER;
  return ApplyRegFile(file, error);
}

LONG FormatRegFile(HKEY root, const std::string& subkey, RegFileFormat format, std::string& bytes, UINT codepage) {
  bytes.clear();
  KeyHandle key;
  if (LONG rc = RegOpenKeyExA(root, subkey.c_str(), 0, KEY_READ, &key.h)) return rc;
  Writer w(format, codepage == CP_ACP ? GetACP() : codepage);
  w.Key(key.h);
  bytes = w.Bytes();
  return ERROR_SUCCESS;
}

LONG ExportRegFile(HKEY root, const std::string& subkey, const std::string& path, RegFileFormat format,
                   std::string& error) {
  std::string bytes;
  if (LONG rc = FormatRegFile(root, subkey, format, bytes)) {
    error = "cannot read the key (error " + std::to_string(rc) + ")";
    return rc;
  }
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return ERROR_CANTWRITE;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  int saved = errno;
  bool ok = done == bytes.size() && fsync(fd) == 0;
  if (!ok && done == bytes.size()) saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  // mkstemp makes the file private; an exported file is an ordinary one.
  if (ok) {
    mode_t mask = umask(0);
    umask(mask);
    chmod(tmp.c_str(), 0666 & ~mask);
  }
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(tmp.c_str());
    error = "cannot write " + path + ": " + std::strerror(saved);
    return ERROR_CANTWRITE;
  }
  return ERROR_SUCCESS;
}

}  // namespace zemir
