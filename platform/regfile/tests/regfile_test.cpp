#include "zemir/platform/regfile.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <tuple>

#include "temp_prefix.h"
#include "zemir/platform/prefix.h"

using namespace zemir;

namespace {

using Bytes = std::vector<BYTE>;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }

void Set(const char* subkey, const char* name, DWORD type, const Bytes& data) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, name, type, data.data(), static_cast<DWORD>(data.size())), ERROR_SUCCESS);
  RegCloseKey(k);
}

// Every key below `subkey` with its values, in a form that compares whole.
using Snapshot = std::map<std::string, std::vector<std::tuple<std::string, DWORD, Bytes>>>;

void Walk(HKEY k, Snapshot& out) {
  auto& vals = out[RegKeyPath(k)];
  std::vector<RegValue> values;
  ASSERT_EQ(RegListValues(k, values), ERROR_SUCCESS);
  for (auto& v : values) vals.emplace_back(v.name, v.type, v.data);
  std::sort(vals.begin(), vals.end());
  std::vector<std::string> subkeys;
  ASSERT_EQ(RegListSubkeys(k, subkeys), ERROR_SUCCESS);
  for (auto& s : subkeys) {
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyExA(k, s.c_str(), 0, KEY_READ, &sub), ERROR_SUCCESS);
    Walk(sub, out);
    RegCloseKey(sub);
  }
}

Snapshot Snap(HKEY root = HKEY_LOCAL_MACHINE) {
  Snapshot s;
  Walk(root, s);
  return s;
}

// The text of a Unicode-form file, as UTF-8, for reading in assertions.
std::string Utf16ToUtf8(const std::string& bytes) {
  std::u16string w;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2)
    w.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  return WideToUtf8(w);
}

std::string WriteTemp(const test::TempPrefix& prefix, const std::string& bytes) {
  std::string path = prefix.path() + "/in.reg";
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

// A v5 file written by hand as UTF-16LE with byte-order mark.
std::string Unicode(const std::u16string& text) {
  std::string out("\xFF\xFE", 2);
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

}  // namespace

TEST(RegFile, RoundTripsEveryTypeInBothForms) {
  test::TempPrefix prefix;
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<BYTE>(i);
  const char* z = "SOFTWARE\\Zemir";
  Set(z, "Text", REG_SZ, B(std::string_view("plain\0", 6)));
  Set(z, "", REG_SZ, B(std::string_view("d\xE9" "f\0", 4)));  // the default value, "déf"
  Set(z, "Empty", REG_SZ, B(std::string_view("\0", 1)));
  Set(z, "Unterminated", REG_SZ, B("abc"));
  Set(z, "NoData", REG_SZ, {});
  Set(z, "Lines", REG_SZ, B(std::string_view("a\r\nb\0", 5)));
  Set(z, "Say \"hi\" \\ there\\", REG_SZ, B(std::string_view("C:\\Dir\\\"x\"\\\0", 12)));
  Set(z, "Gr\xF6\xDF" "e\x80", REG_SZ, B(std::string_view("\xE4\xF6\xFC \x80 \xA9\0", 8)));  // Größe€ = äöü € ©
  Set(z, "Dword", REG_DWORD, {0xEF, 0xBE, 0xAD, 0xDE});
  Set(z, "ShortDword", REG_DWORD, {1, 2, 3});
  Set(z, "Qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
  Set(z, "All bytes", REG_BINARY, all);
  Set(z, "EmptyBin", REG_BINARY, {});
  Set(z, "Expand", REG_EXPAND_SZ, B(std::string_view("%SystemRoot%\\\xE9\0", 15)));
  Set(z, "EmptyExpand", REG_EXPAND_SZ, B(std::string_view("\0", 1)));
  Set(z, "Multi", REG_MULTI_SZ, B(std::string_view("a\0b\xE9\0\0", 6)));
  Set(z, "EmptyMulti", REG_MULTI_SZ, B(std::string_view("\0", 1)));
  Set(z, "None", REG_NONE, {0, 1});
  Set(z, "Custom", 0x1234, {9});
  Set("SOFTWARE\\Zemir\\Schl\xFC" "ssel [1]\\Deep", "x", REG_SZ, B(std::string_view("y\0", 2)));
  HKEY empty = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\Empty", KEY_ALL_ACCESS, &empty), ERROR_SUCCESS);
  RegCloseKey(empty);
  const Snapshot before = Snap();

  for (RegFileFormat format : {RegFileFormat::Unicode, RegFileFormat::Ansi}) {
    SCOPED_TRACE(format == RegFileFormat::Unicode ? "Unicode" : "REGEDIT4");
    std::string bytes;
    ASSERT_EQ(FormatRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", format, bytes), ERROR_SUCCESS);
    std::string text;
    if (format == RegFileFormat::Unicode) {
      ASSERT_EQ(bytes.substr(0, 2), "\xFF\xFE");
      text = Utf16ToUtf8(bytes);
      EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir]\r\n", 0), 0u);
      EXPECT_NE(text.find("\r\n\"Gr\xC3\xB6\xC3\x9F" "e\xE2\x82\xAC\"=\"\xC3\xA4\xC3\xB6\xC3\xBC \xE2\x82\xAC \xC2\xA9\"\r\n"),
                std::string::npos);
      EXPECT_NE(text.find("\r\n\"Expand\"=hex(2):25,00,53,00,"), std::string::npos);
    } else {
      text = bytes;
      EXPECT_EQ(text.rfind("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir]\r\n@=\"d\xE9" "f\"\r\n", 0), 0u);
      EXPECT_NE(text.find("\r\n\"Expand\"=hex(2):25,53,79,"), std::string::npos);
    }
    EXPECT_NE(text.find("\r\n\"Say \\\"hi\\\" \\\\ there\\\\\"=\"C:\\\\Dir\\\\\\\"x\\\"\\\\\"\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"Dword\"=dword:deadbeef\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"EmptyBin\"=hex:\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"ShortDword\"=hex(4):01,02,03\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\n\"Custom\"=hex(1234):09\r\n"), std::string::npos);
    // Binary lines break the way regedit breaks them: 23 bytes after `"All bytes"=hex:`, 25
    // on each indented continuation line, none past 80 columns.
    EXPECT_NE(text.find("\r\n\"All bytes\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,\\\r\n"
                        "  15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,\\\r\n"),
              std::string::npos);
    size_t start = 0, longest = 0;
    for (size_t e; (e = text.find("\r\n", start)) != std::string::npos; start = e + 2)
      longest = std::max(longest, Utf8ToWide(text.substr(start, e - start)).size());
    EXPECT_LE(longest, 80u);

    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir"), ERROR_SUCCESS);
    ASSERT_NE(Snap(), before);
    RegFile file;
    std::string error;
    ASSERT_TRUE(ParseRegFile(bytes, file, error)) << error;
    EXPECT_EQ(file.format, format);
    ASSERT_EQ(ApplyRegFile(file, error), ERROR_SUCCESS) << error;
    EXPECT_EQ(Snap(), before);
  }
}

TEST(RegFile, ExportWritesTheFileAndImportReadsIt) {
  test::TempPrefix prefix;
  Set("SOFTWARE\\Zemir", "ZemirPath", REG_SZ, B(std::string_view("C:\\Zemir\\\0", 10)));
  std::string path = prefix.path() + "/out.reg", error;
  ASSERT_EQ(ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", path, RegFileFormat::Unicode, error), ERROR_SUCCESS);
  std::string expected;
  ASSERT_EQ(FormatRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", RegFileFormat::Unicode, expected), ERROR_SUCCESS);
  EXPECT_EQ(test::ReadFile(path), expected);
  EXPECT_EQ(ExportRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", path, RegFileFormat::Unicode, error),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(test::ReadFile(path), expected);  // a failed export leaves the old file alone

  const Snapshot before = Snap();
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_SUCCESS);
  ASSERT_EQ(ImportRegFile(path, error), ERROR_SUCCESS) << error;
  EXPECT_EQ(Snap(), before);
  EXPECT_EQ(ImportRegFile(prefix.path() + "/none.reg", error), ERROR_FILE_NOT_FOUND);
  EXPECT_NE(error.find("none.reg"), std::string::npos);
}

TEST(RegFile, ReadsContinuationsCommentsAndEveryEncoding) {
  // UTF-8 without a byte-order mark, then with one, then UTF-16LE: the same content.
  const std::string body =
      "\r\n; a comment\n"
      "[HKEY_CURRENT_USER\\Software\\Zemir]\r\n"
      "@=\"d\xC3\xA9" "f\"\n"
      "  \"Spaced\" = \"x\"   ; trailing comment\n"
      "\"Path\"=\"C:\\Plain\\Dir\"\n"  // a lone backslash stays as it is
      "\"Bin\"=hex:01,02,\\\n"
      "  03,\\\n"
      "; a comment between continued lines\n"
      "  0A,0b\n"
      "\"Exp\"=hex(2):25,00,e9,00,\\\r\n"
      "  00,00\r\n"
      "\"Upper\"=DWORD:0000001F\n"
      "\"Short\"=dword:1f\n"
      "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\\Bracket]Name]\n"
      "\"v\"=\"w\"\n";
  for (int enc = 0; enc < 3; ++enc) {
    SCOPED_TRACE(enc);
    test::TempPrefix prefix;
    std::string text = "Windows Registry Editor Version 5.00" + body;
    std::string bytes = enc == 0 ? text : enc == 1 ? "\xEF\xBB\xBF" + text : Unicode(Utf8ToWide(text));
    RegFile file;
    std::string error;
    ASSERT_TRUE(ParseRegFile(bytes, file, error)) << error;
    ASSERT_EQ(ApplyRegFile(file, error), ERROR_SUCCESS) << error;
    Snapshot s = Snap(HKEY_CURRENT_USER);
    auto& v = s["HKEY_CURRENT_USER\\Software\\Zemir"];
    using T = std::tuple<std::string, DWORD, Bytes>;
    EXPECT_EQ(v, (std::vector<T>{
                     T{"", REG_SZ, B(std::string_view("d\xE9" "f\0", 4))},
                     T{"Bin", REG_BINARY, {1, 2, 3, 10, 11}},
                     T{"Exp", REG_EXPAND_SZ, B(std::string_view("%\xE9\0", 3))},
                     T{"Multi", REG_MULTI_SZ, B(std::string_view("a\0b\0\0", 5))},
                     T{"Path", REG_SZ, B(std::string_view("C:\\Plain\\Dir\0", 13))},
                     T{"Short", REG_DWORD, {0x1F, 0, 0, 0}},
                     T{"Spaced", REG_SZ, B(std::string_view("x\0", 2))},
                     T{"Upper", REG_DWORD, {0x1F, 0, 0, 0}},
                 }));
    EXPECT_EQ(Snap()["HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\\Bracket]Name"].size(), 1u);
  }
}

TEST(RegFile, Regedit4IsAnsiAndHexTextStaysAnsi) {
  test::TempPrefix prefix;
  std::string bytes =
      "\r\nREGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir]\r\n"
      "\"N\xE4me\"=\"V\xE4lue\"\r\n"
      "\"Exp\"=hex(2):25,e9,00\r\n";
  RegFile file;
  std::string error;
  ASSERT_TRUE(ParseRegFile(bytes, file, error)) << error;
  EXPECT_EQ(file.format, RegFileFormat::Ansi);
  ASSERT_EQ(ApplyRegFile(file, error), ERROR_SUCCESS) << error;
  using T = std::tuple<std::string, DWORD, Bytes>;
  EXPECT_EQ(Snap()["HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir"],
            (std::vector<T>{T{"Exp", REG_EXPAND_SZ, B(std::string_view("%\xE9\0", 3))},
                            T{"N\xE4me", REG_SZ, B(std::string_view("V\xE4lue\0", 6))}}));
}

TEST(RegFile, DeletesKeysAndValues) {
  test::TempPrefix prefix;
  Set("SOFTWARE\\Zemir\\Old\\Deeper", "x", REG_SZ, B(std::string_view("1\0", 2)));
  Set("SOFTWARE\\Zemir\\Older", "x", REG_SZ, B(std::string_view("1\0", 2)));
  Set("SOFTWARE\\Zemir", "Gone", REG_SZ, B(std::string_view("1\0", 2)));
  Set("SOFTWARE\\Zemir", "", REG_SZ, B(std::string_view("1\0", 2)));
  Set("SOFTWARE\\Zemir", "Kept", REG_SZ, B(std::string_view("1\0", 2)));
  std::string bytes = Unicode(
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\\Old]\r\n"
      u"[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\\NeverWasThere]\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir]\r\n"
      u"\"Gone\"=-\r\n"
      u"@=-\r\n"
      u"\"NotThereEither\"=-\r\n");
  std::string error;
  ASSERT_EQ(ImportRegFile(WriteTemp(prefix, bytes), error), ERROR_SUCCESS) << error;
  Snapshot s = Snap();
  EXPECT_EQ(s.count("HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\\Old"), 0u);
  EXPECT_EQ(s.count("HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\\Old\\Deeper"), 0u);
  EXPECT_EQ(s.count("HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\\Older"), 1u);
  ASSERT_EQ(s["HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir"].size(), 1u);
  EXPECT_EQ(std::get<0>(s["HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir"][0]), "Kept");
}

TEST(RegFile, RefusesMalformedFilesWithTheLineAndAppliesNothing) {
  const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n";
  // Each file first makes changes that would show (a new key and value, a deleted key), then
  // goes wrong.
  const std::string changes =
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\\Keep]\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir]\r\n"
      "\"Existing\"=\"changed\"\r\n"
      "\"New\"=dword:00000001\r\n";  // lines 3 to 6
  struct Case {
    std::string bytes;
    std::string error;
  } cases[] = {
      {"REGEDIT5\r\n" + changes, "line 1: bad header: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\""},
      {"", "line 1: bad header: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\""},
      {head + changes + "\"Open\"=\"no end\r\n", "line 7: unterminated string"},
      {head + changes + "\"Open=\"x\"\r\n", "line 7: expected '=' after the value name"},
      {head + changes + "\"Bin\"=hex:01,02,\\\r\n  03,zz\r\n", "line 8: bad hex value"},
      {head + changes + "\"Bin\"=hex:01 02\r\n", "line 7: bad hex value"},
      {head + changes + "\"Bin\"=hex:123\r\n", "line 7: bad hex value"},
      {head + changes + "\"Bin\"=hex(2x):00\r\n", "line 7: bad hex type"},
      {head + changes + "\"Bin\"=hex:01,\\\r\n", "line 7: the file ends after a line continuation"},
      {head + changes + "\"Text\"=hex(1):41,00,42\r\n", "line 7: bad hex value: odd byte count for UTF-16 text"},
      {head + changes + "\"D\"=dword:123456789\r\n", "line 7: bad dword value"},
      {head + changes + "\"D\"=dword:\r\n", "line 7: bad dword value"},
      {head + changes + "\"D\"=dword:0000001g\r\n", "line 7: bad dword value"},
      {head + changes + "\"D\"=qword:1\r\n", "line 7: unrecognised value data"},
      {head + "\"Early\"=\"x\"\r\n" + changes, "line 3: value before any key"},
      {head + changes + "[HKEY_CLASSES_ROOT\\.reg]\r\n", "line 7: unknown root key \"HKEY_CLASSES_ROOT\""},
      {head + changes + "[HKEY_LOCAL_MACHINE\\SOFTWARE\r\n", "line 7: missing ']' after the key name"},
      {head + changes + "[-HKEY_LOCAL_MACHINE]\r\n", "line 7: a root key cannot be deleted"},
      {head + changes + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"v\"=\"w\"\r\n",
       "line 8: value under a key that is being deleted"},
      {head + changes + "junk\r\n", "line 7: unrecognised line"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    test::TempPrefix prefix;
    Set("SOFTWARE\\Zemir\\Keep", "x", REG_SZ, B(std::string_view("1\0", 2)));
    Set("SOFTWARE\\Zemir", "Existing", REG_SZ, B(std::string_view("old\0", 4)));
    const Snapshot before = Snap();
    std::string error;
    // Both as UTF-8 text and as the UTF-16 file regedit would write.
    for (const std::string& bytes : {c.bytes, Unicode(Utf8ToWide(c.bytes))}) {
      EXPECT_EQ(ImportRegFile(WriteTemp(prefix, bytes), error), ERROR_INVALID_PARAMETER);
      EXPECT_EQ(error, c.error);
      EXPECT_EQ(Snap(), before);
    }
  }
}

TEST(RegFile, ApplyingIsOneTransaction) {
  test::TempPrefix prefix;
  Set("SOFTWARE\\Zemir", "Existing", REG_SZ, B(std::string_view("old\0", 4)));
  // Another connection to the hive's database, as another process would have.
  sqlite3* other = nullptr;
  std::string db = (platform::Prefix() / "registry" / "HKLM.db").string();
  ASSERT_EQ(sqlite3_open_v2(db.c_str(), &other, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  auto otherCount = [&] {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(other, "SELECT count(*) FROM vals", -1, &s, nullptr);
    int n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int(s, 0) : -1;
    sqlite3_finalize(s);
    return n;
  };
  const Snapshot before = Snap();
  ASSERT_EQ(RegBeginTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(RegBeginTransaction(HKEY_LOCAL_MACHINE), ERROR_INVALID_PARAMETER);  // no nesting
  Set("SOFTWARE\\Zemir\\New", "a", REG_SZ, B(std::string_view("1\0", 2)));
  Set("SOFTWARE\\Zemir\\New", "b", REG_SZ, B(std::string_view("2\0", 2)));
  EXPECT_EQ(Snap().count("HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\\New"), 1u);  // this thread sees its changes
  EXPECT_EQ(otherCount(), 1);                                                 // others do not
  ASSERT_EQ(RegEndTransaction(HKEY_LOCAL_MACHINE, false), ERROR_SUCCESS);
  EXPECT_EQ(Snap(), before);
  EXPECT_EQ(RegEndTransaction(HKEY_LOCAL_MACHINE, true), ERROR_INVALID_PARAMETER);  // none open

  ASSERT_EQ(RegBeginTransaction(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  Set("SOFTWARE\\Zemir\\New", "a", REG_SZ, B(std::string_view("1\0", 2)));
  Set("SOFTWARE\\Zemir\\New", "b", REG_SZ, B(std::string_view("2\0", 2)));
  EXPECT_EQ(otherCount(), 1);
  ASSERT_EQ(RegEndTransaction(HKEY_LOCAL_MACHINE, true), ERROR_SUCCESS);
  EXPECT_EQ(otherCount(), 3);
  sqlite3_close_v2(other);
}

TEST(RegFile, ConvertsWithTheMachinesAnsiCodePage) {
  test::TempPrefix prefix;
  Set("SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", "ACP", REG_SZ, B(std::string_view("1251\0", 5)));
  ResetACPCache();
  const std::u16string text =
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir]\r\n"
      u"\"\u0418\u043c\u044f\"=\"\u0414\u0430\"\r\n\r\n";
  RegFile file;
  std::string error;
  ASSERT_TRUE(ParseRegFile(Unicode(text), file, error)) << error;
  ASSERT_EQ(ApplyRegFile(file, error), ERROR_SUCCESS) << error;
  using T = std::tuple<std::string, DWORD, Bytes>;
  EXPECT_EQ(Snap()["HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir"],
            (std::vector<T>{T{"\xC8\xEC\xFF", REG_SZ, B(std::string_view("\xC4\xE0\0", 3))}}));
  std::string bytes;
  ASSERT_EQ(FormatRegFile(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", RegFileFormat::Unicode, bytes), ERROR_SUCCESS);
  EXPECT_EQ(bytes, Unicode(text));
  ResetACPCache();
}
