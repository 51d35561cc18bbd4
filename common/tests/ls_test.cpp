#include "zemir/common/ls.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "temp_prefix.h"
#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/platform/codepage.h"

using namespace zemir;
namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// UTF-16 little-endian bytes of a text given in UTF-8, with or without a byte-order mark.
std::string Utf16(const std::string& utf8, bool bom = true) {
  std::u16string w = Utf8ToWide(utf8);
  std::string out = bom ? std::string("\xFF\xFE", 2) : std::string();
  for (char16_t c : w) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

size_t Count(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

// A temporary prefix with the log open in it and the language files forgotten. The console
// executable's folder is <prefix>/bin, so "_zemir" files go to <prefix>/bin/_zemir.
class LsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logPath_ = prefix_.path() + "/ls.log";
    GetTraceMaker().Open(logPath_.c_str(), 900);
    LS_ResetForTesting(ExeDir().string());
  }
  void TearDown() override { LS_ResetForTesting(); }

  fs::path ExeDir() const { return fs::path(prefix_.path()) / "bin"; }
  fs::path ZemirDir() const { return fs::path(prefix_.path()) / "drive_c" / "Zemir"; }
  // Installs the product in C:\Zemir\ with the given language.
  void Install(const char* language) {
    WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "ZemirPath", "C:\\Zemir\\");
    WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "Language", language);
  }
  std::string Log() const { return test::ReadFile(logPath_); }

  test::TempPrefix prefix_;
  std::string logPath_;
};

struct SourceRow {
  UINT id = 0;
  std::string name, text;  // text as the language files hold it (backslash-n)
};

std::vector<SourceRow> ReadSource(const fs::path& tsv) {
  std::vector<SourceRow> rows;
  std::istringstream in(test::ReadFile(tsv.string()));
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    size_t t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
    SourceRow r;
    if (std::isdigit(static_cast<unsigned char>(line[0]))) r.id = static_cast<UINT>(std::stoul(line.substr(0, t1)));
    r.name = r.id ? line.substr(t1 + 1, t2 - t1 - 1) : line.substr(0, t1);
    r.text = line.substr(t2 + 1);
    rows.push_back(r);
  }
  return rows;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
  return s;
}

}  // namespace

// The shipped English files, installed under ZemirPath, give every text of the source table,
// and the compiled-in string table holds the same texts.
TEST_F(LsTest, ShippedEnglishFilesUnderZemirPathAgreeWithStringTable) {
  fs::path languages = ZEMIR_LANGUAGES_DIR;
  for (const char* f : {"english.txt", "english.js", "strings.h"})
    WriteFile(ZemirDir() / "languages" / f, test::ReadFile((languages / f).string()));
  Install("english");

  auto rows = ReadSource(languages / "strings.tsv");
  ASSERT_GT(rows.size(), 60u);
  int ids = 0;
  for (const auto& r : rows) {
    if (r.id) {
      ++ids;
      ASSERT_NE(StringTableText(r.id), nullptr) << r.id;
      EXPECT_EQ(StringTableText(r.id), Replace(r.text, "\\n", "\n")) << r.id;
      EXPECT_EQ(LS(r.id), Replace(r.text, "\\n", " \n")) << r.id;
    } else {
      EXPECT_EQ(LS(r.name), r.text) << r.name;
      EXPECT_EQ(LS_EN(r.name), r.text) << r.name;
    }
  }
  EXPECT_GE(ids, 29);
  EXPECT_EQ(LS(IDS_CANCEL), "&Cancel");
  EXPECT_EQ(LS(2469), "Error configuring Zemir database replica setting: ");  // trailing blank kept
  EXPECT_EQ(LS("txtSetupKeysBulk"), "Setup multiple keys");  // not the longer key sharing its start
  std::string log = Log();
  EXPECT_EQ(log.find("LS3("), std::string::npos) << log;
  EXPECT_EQ(log.find("LS2("), std::string::npos) << log;
  EXPECT_EQ(log.find("LS: "), std::string::npos) << log;
}

// Without ZemirPath every file lies in "_zemir" beside the executable, and LS_EN reads the same
// lang.js as LS with a key. A ZemirPath that is a host folder works as well.
TEST_F(LsTest, FileLocations) {
  fs::path z = ExeDir() / "_zemir";
  WriteFile(z / "strings.h", "#define IDS_CANCEL\t2070\r\n");
  WriteFile(z / "lang.txt", "IDS_CANCEL \"&Abbrechen\"\r\n");
  WriteFile(z / "lang.js", "var txtRefresh = \"Aktualisieren\";\r\n");
  EXPECT_EQ(LS(2070), "&Abbrechen");
  EXPECT_EQ(LS("txtRefresh"), "Aktualisieren");
  EXPECT_EQ(LS_EN("txtRefresh"), "Aktualisieren");

  // The installation folder wins once ZemirPath is set.
  LS_ResetForTesting(ExeDir().string());
  fs::path host = fs::path(prefix_.path()) / "opt" / "zemir";
  WriteFile(host / "languages" / "strings.h", "#define IDS_CANCEL 2070\n");
  WriteFile(host / "languages" / "deutsch.txt", "IDS_CANCEL \"Ab&brechen\"\n");
  WriteFile(host / "languages" / "deutsch.js", "var txtRefresh = \"Neu laden\"\n");
  WriteFile(host / "languages" / "english.js", "var txtRefresh = \"Refresh\"\n");
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "ZemirPath", host.string().c_str());  // no final separator
  WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, "Language", "deutsch");
  EXPECT_EQ(LS(2070), "Ab&brechen");
  EXPECT_EQ(LS("txtRefresh"), "Neu laden");
  EXPECT_EQ(LS_EN("txtRefresh"), "Refresh");
  EXPECT_EQ(Log().find("LS: "), std::string::npos) << Log();
}

// Missing files fall back and are remembered: they are logged once and not looked for again.
TEST_F(LsTest, MissingFilesAreLoggedOnceAndNotReadAgain) {
  std::string js = (ExeDir() / "_zemir" / "lang.js").string();
  EXPECT_EQ(LS(2070), "&Cancel");
  EXPECT_EQ(LS("txtRefresh"), "txtRefresh");
  std::string log = Log();
  EXPECT_EQ(Count(log, "LS3(2070)."), 1u);
  EXPECT_EQ(Count(log, "LS: err " + js), 2u) << log;  // the language script and the English one
  EXPECT_EQ(log.find("lang.txt"), std::string::npos) << "a number logs no missing file";
  EXPECT_EQ(Count(log, "LS_EN(txtRefresh)."), 1u);

  // Files that appear later are not read: the console reads its language once.
  WriteFile(ExeDir() / "_zemir" / "strings.h", "#define IDS_CANCEL 2070\r\n");
  WriteFile(ExeDir() / "_zemir" / "lang.txt", "IDS_CANCEL \"X\"\r\n");
  WriteFile(js, "var txtRefresh = \"Y\";\r\n");
  EXPECT_EQ(LS(2070), "&Cancel");
  EXPECT_EQ(LS("txtRefresh"), "txtRefresh");
  EXPECT_EQ(LS(""), "");
  log = Log();
  EXPECT_EQ(Count(log, "LS: err "), 2u);
  EXPECT_EQ(Count(log, "LS3(2070)."), 2u);

  LS_ResetForTesting(ExeDir().string());
  EXPECT_EQ(LS(2070), "X");
  EXPECT_EQ(LS("txtRefresh"), "Y");
}

// Files that exist but read empty, and a name header that is missing or empty, which makes the
// translation table count as missing too.
TEST_F(LsTest, EmptyFilesAndMissingNameHeader) {
  Install("english");
  fs::path lang = ZemirDir() / "languages";
  WriteFile(lang / "english.txt", "IDS_CANCEL \"Gone\"\r\n");
  WriteFile(lang / "english.js", "");
  EXPECT_EQ(LS(2070), "&Cancel");  // no header: the table is not used
  EXPECT_EQ(LS("txtRefresh"), "txtRefresh");
  WriteFile(lang / "strings.h", "#define IDS_CANCEL 2070\r\n");
  EXPECT_EQ(LS(2070), "&Cancel");  // and stays unused
  std::string log = Log();
  EXPECT_EQ(Count(log, "LS3(2070)."), 2u);
  EXPECT_EQ(Count(log, "LS: error read C:\\Zemir\\languages\\english.js"), 2u) << log;
  EXPECT_EQ(log.find("strings.h"), std::string::npos);

  LS_ResetForTesting(ExeDir().string());
  WriteFile(lang / "strings.h", "");
  EXPECT_EQ(LS(2070), "&Cancel");
  EXPECT_EQ(Count(Log(), "LS: error read2 C:\\Zemir\\languages\\strings.h"), 1u) << Log();
}

// How a text comes out of a narrow line: the 490 limit, the line break escape, the closing
// quote and ";", the last line without a line end, names that are not found.
TEST_F(LsTest, NarrowExtractionRules) {
  Install("english");
  fs::path lang = ZemirDir() / "languages";
  std::string fits(488, 'a'), tooLong(489, 'b'), huge(20000, 'c');
  WriteFile(lang / "strings.h",
            "#define IDS_CANCEL 2070\r\n#define IDS_SAVE_FAILED\t2100\r\n#define IDS_UNSUCCESSFUL 2200\r\n"
            "#define IDS_USER_NAME 2236\r\n#define IDS_ANSWERS 2347\r\n#define IDS_QUESTIONS 2348\r\n"
            "#define 2384" + std::string(400, 'N') + " 1\r\n#define IDS_DELETE_COUNT 2457\r\n"
            "#define IDS_NO_DOMAIN 2465\r\n");
  WriteFile(lang / "english.txt",
            "IDS_CANCEL \"A\\nB\"\r\n"                 // A, backslash, n, B
            "IDS_SAVE_FAILED\t\"" + fits + "\"\r\n"    // 489 characters up to the line end
            "IDS_UNSUCCESSFUL \"" + tooLong + "\"\n"   // 490: too long
            "IDS_USER_NAME \"" + huge + "\"\n"         // far too long
            "IDS_ANSWERS \"quoted\"\"\n"                // a second closing quote goes as well
            "IDS_NO_DOMAIN \"No line end\"");           // the last line without a line end
  EXPECT_EQ(LS(2070), "A \nB");
  EXPECT_EQ(LS(2100), fits);
  EXPECT_EQ(LS(2200), "Unsuccessful");
  EXPECT_EQ(LS(2236), "User name:");
  EXPECT_EQ(LS(2347), "quoted");
  EXPECT_EQ(LS(2465), StringTableText(2465));
  EXPECT_EQ(LS(2348), "Questions:");  // in the header, not in the table
  EXPECT_EQ(LS(2384), "Are you sure?");  // a name of 400 characters or more is not a name
  EXPECT_EQ(LS(2457), "Delete %s.");     // in the header, not in the table
  EXPECT_EQ(LS(2460), StringTableText(2460));  // not in the header
  EXPECT_EQ(LS(9999), "");               // nowhere
  std::string log = Log();
  for (int id : {2200, 2236, 2348, 2457, 2465}) {
    EXPECT_EQ(Count(log, "LS2(" + std::to_string(id) + ")."), 1u) << id;
    EXPECT_EQ(Count(log, "LS3(" + std::to_string(id) + ")."), 1u) << id;
  }
  EXPECT_EQ(Count(log, "LS(2384)"), 1u);
  EXPECT_EQ(Count(log, "LS(2460)"), 1u);
  EXPECT_EQ(Count(log, "LS3(2384)."), 0u);
  EXPECT_EQ(Count(log, "LS(9999)"), 1u);
  EXPECT_EQ(Count(log, "LS3(9999)."), 1u);

  // Keys: blank, tab or "=" after the key, with or without ";".
  WriteFile(lang / "english.js",
            "var txtA = \"one\";\r\nvar txtB\t\"two\"\r\nvar txtC=\"three\\nfour\";\r\n"
            "var txtLong = \"" + huge + "\";\r\nvar txtLast = \"no line end\";");
  EXPECT_EQ(LS("txtA"), "one");
  EXPECT_EQ(LS("txtB"), "two");
  EXPECT_EQ(LS("txtC"), "three \nfour");
  EXPECT_EQ(LS("txtLong"), "txtLong");
  EXPECT_EQ(LS("txtLast"), "txtLast");
}

// A key that neither script has is shown as itself; the English lookup logs what it tried.
TEST_F(LsTest, KeyMissingFromBothScripts) {
  Install("deutsch");
  fs::path lang = ZemirDir() / "languages";
  WriteFile(lang / "deutsch.js", "var txtRefresh = \"Aktualisieren\";\r\n");
  WriteFile(lang / "english.js", "var txtRefresh = \"Refresh\";\r\nvar txtOnlyEnglish = \"English\";\r\n");
  EXPECT_EQ(LS("txtMissing"), "txtMissing");
  std::string log = Log();
  EXPECT_EQ(Count(log, "LS0(txtMissing=)"), 1u) << log;
  EXPECT_EQ(Count(log, "LS_EN(txtMissing)."), 1u) << log;

  EXPECT_EQ(LS("txtOnlyEnglish"), "English");
  EXPECT_EQ(Count(Log(), "LS0(txtOnlyEnglish )"), 1u);
  EXPECT_EQ(LS("txtRefresh"), "Aktualisieren");
  EXPECT_EQ(LS(""), "");
  EXPECT_EQ(LS_EN(""), "");
  EXPECT_EQ(Count(Log(), "LS_EN()"), 1u);
  EXPECT_EQ(LS(nullptr), "");
}

// A UTF-16 translation table is searched with a UTF-16 name header; its texts come out in
// the ANSI code page, cut to fit 255 bytes. With a narrow name header no name is found.
TEST_F(LsTest, Utf16TranslationTable) {
  WriteRegString(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", "ACP", "1251");
  ResetACPCache();
  Install("russian");
  fs::path lang = ZemirDir() / "languages";
  std::string longText;
  for (int i = 0; i < 300; ++i) longText += "Ж";
  std::string unterminated;
  for (int i = 0; i < 600; ++i) unterminated += "ю";
  WriteFile(lang / "strings.h", Utf16("#define IDS_CANCEL 2070\r\n#define IDS_ANSWERS 2347\r\n"
                                      "#define IDS_QUESTIONS 2348\r\n#define IDS_USER_NAME 2236\r\n"));
  WriteFile(lang / "russian.txt", Utf16("IDS_CANCEL \"Отмена\"\r\nIDS_ANSWERS \"Да\\nНет\"\r\n"
                                        "IDS_QUESTIONS \"" + longText + "\"\r\nIDS_USER_NAME \"" + unterminated));
  EXPECT_EQ(LS(2070), "\xCE\xF2\xEC\xE5\xED\xE0");  // cp1251
  EXPECT_EQ(LS(2347), "\xC4\xE0 \n\xCD\xE5\xF2");
  EXPECT_EQ(LS(2348), std::string(254, '\xC6'));
  EXPECT_EQ(LS(2236), std::string(254, '\xFE'));
  EXPECT_EQ(LS(2100), "Could not save changes");  // not in the header: the string table
  EXPECT_EQ(Log().find("LS"), std::string::npos) << Log();

  // A narrow name header beside a UTF-16 table finds no names.
  LS_ResetForTesting(ExeDir().string());
  WriteFile(lang / "strings.h", "#define IDS_CANCEL 2070\r\n");
  EXPECT_EQ(LS(2070), "&Cancel");
  EXPECT_EQ(LS(2347), "Answers:");

  // A UTF-16 table without a byte-order mark is recognised as well.
  LS_ResetForTesting(ExeDir().string());
  WriteFile(lang / "strings.h", Utf16("#define IDS_CANCEL 2070\r\n", false));
  WriteFile(lang / "russian.txt", Utf16("IDS_CANCEL \"Отмена\"\r\n", false));
  EXPECT_EQ(LS(2070), "\xCE\xF2\xEC\xE5\xED\xE0");
}

TEST(IsTextUnicode, RecognisesUtf16LittleEndian) {
  struct Case {
    std::string bytes;
    bool unicode;
  } cases[] = {
      {Utf16("x"), true},                                   // byte-order mark alone decides
      {Utf16("#define IDS_CANCEL 2070\r\n", false), true},  // zero high bytes
      {"#define IDS_CANCEL 2070\r\n", false},               // narrow text
      {"IDS_CANCEL \"Abbrechen\"\r\n", false},
      {std::string("\xFE\xFF\0a", 4), false},               // big-endian mark
      {std::string("\0a\0b\0c\0d", 8), false},              // big-endian statistics
      {std::string("a\0b\0c", 5), false},                   // odd length
      {std::string("a\0\0\0", 4), false},                   // a zero character
      {"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsTextUnicode(c.bytes.data(), static_cast<int>(c.bytes.size())), c.unicode) << c.bytes;
  EXPECT_FALSE(IsTextUnicode(nullptr, 10));
}
