// Runs the built zemir-reg against a temporary prefix, as a user would, and checks its output,
// its exit code and the registry it leaves.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "temp_prefix.h"
#include "zemir/platform/registry.h"

using namespace zemir;

namespace {

struct Result {
  int code = -1;
  std::string out;  // standard output and error together
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs zemir-reg with `args`, standard input not a terminal.
Result Tool(std::initializer_list<std::string> args) {
  std::string cmd = Quote(test::BuildBin() + "/zemir-reg");
  for (const auto& a : args) cmd += " " + Quote(a);
  cmd += " </dev/null 2>&1";
  Result r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// The value as this process reads it, or "missing".
std::string Read(const char* subkey, const char* name, DWORD* type = nullptr) {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &k) != ERROR_SUCCESS) return "missing";
  char buf[256];
  DWORD cb = sizeof buf, t = 0;
  LONG rc = RegQueryValueExA(k, name, &t, reinterpret_cast<BYTE*>(buf), &cb);
  RegCloseKey(k);
  if (type) *type = t;
  return rc == ERROR_SUCCESS ? std::string(buf, cb) : "missing";
}

const char* kOk = "The operation completed successfully.\n";
const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.\n";

}  // namespace

TEST(ZemirReg, AddsQueriesAndDeletesLikeTheConsoleTool) {
  test::TempPrefix prefix;
  const std::string key = "HKLM\\SOFTWARE\\Zemir";
  EXPECT_EQ(Tool({"add", key, "/v", "ZemirPath", "/t", "REG_SZ", "/d", "C:\\Zemir\\"}).out, kOk);
  EXPECT_EQ(Tool({"add", "HKEY_LOCAL_MACHINE\\software\\zemir", "/v", "Count", "/t", "reg_dword", "/d", "0x1F"}).code, 0);
  EXPECT_EQ(Tool({"add", key, "/v", "Dec", "/t", "REG_DWORD", "/d", "4294967295"}).code, 0);
  EXPECT_EQ(Tool({"add", key, "/v", "Bin", "/t", "REG_BINARY", "/d", "0aFF00"}).code, 0);
  EXPECT_EQ(Tool({"add", key, "/v", "Multi", "/t", "REG_MULTI_SZ", "/d", "one\\0two"}).code, 0);
  EXPECT_EQ(Tool({"add", key, "/v", "Hash", "/t", "REG_MULTI_SZ", "/s", "#", "/d", "a#b"}).code, 0);
  EXPECT_EQ(Tool({"add", key, "/v", "Exp", "/t", "REG_EXPAND_SZ", "/d", "%TEMP%"}).code, 0);
  EXPECT_EQ(Tool({"add", key, "/ve", "/d", "default"}).code, 0);
  EXPECT_EQ(Tool({"add", key + "\\Sub\\Deeper"}).out, kOk);
  // Non-ASCII text from the command line is stored in the ANSI code page (1252).
  EXPECT_EQ(Tool({"add", key, "/v", "Gr\xC3\xB6\xC3\x9F" "e", "/d", "\xE2\x82\xAC"}).code, 0);

  DWORD type = 0;
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "ZemirPath", &type), std::string("C:\\Zemir\\\0", 10));
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "Count", &type), std::string("\x1F\0\0\0", 4));
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "Dec"), "\xFF\xFF\xFF\xFF");
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "Bin", &type), std::string("\x0A\xFF\0", 3));
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "Multi", &type), std::string("one\0two\0\0", 9));
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "Hash"), std::string("a\0b\0\0", 5));
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "Exp", &type), std::string("%TEMP%\0", 7));
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(Read("SOFTWARE\\Zemir", ""), std::string("default\0", 8));
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "Gr\xF6\xDF" "e"), std::string("\x80\0", 2));

  EXPECT_EQ(Tool({"query", key, "/v", "count"}).out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\n    Count    REG_DWORD    0x1f\n\n");
  Result q = Tool({"query", key});
  EXPECT_EQ(q.code, 0);
  EXPECT_EQ(q.out,
            "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\n"
            "    ZemirPath    REG_SZ    C:\\Zemir\\\n"
            "    Count    REG_DWORD    0x1f\n"
            "    Dec    REG_DWORD    0xffffffff\n"
            "    Bin    REG_BINARY    0AFF00\n"
            "    Multi    REG_MULTI_SZ    one\\0two\n"
            "    Hash    REG_MULTI_SZ    a\\0b\n"
            "    Exp    REG_EXPAND_SZ    %TEMP%\n"
            "    (Default)    REG_SZ    default\n"
            "    Gr\xC3\xB6\xC3\x9F" "e    REG_SZ    \xE2\x82\xAC\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\\Sub\n\n");
  Result s = Tool({"query", "HKLM\\SOFTWARE", "/v", "ZEMIRPATH", "/s"});
  EXPECT_EQ(s.code, 0);
  EXPECT_NE(s.out.find("End of search: 1 match(es) found."), std::string::npos);

  // Without /f and without a terminal, nothing is overwritten or deleted.
  Result r = Tool({"add", key, "/v", "ZemirPath", "/d", "other"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("ERROR: Value ZemirPath exists"), std::string::npos) << r.out;
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "ZemirPath"), std::string("C:\\Zemir\\\0", 10));
  EXPECT_EQ(Tool({"add", key, "/v", "ZemirPath", "/d", "other", "/f"}).out, kOk);
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "ZemirPath"), std::string("other\0", 6));
  r = Tool({"delete", key, "/v", "Count"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "Count"), std::string("\x1F\0\0\0", 4));
  EXPECT_EQ(Tool({"delete", key, "/v", "Count", "/f"}).out, kOk);
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "Count"), "missing");
  EXPECT_EQ(Tool({"delete", key + "\\Sub", "/f"}).out, kOk);
  EXPECT_EQ(Tool({"query", key + "\\Sub\\Deeper"}).out, kNotFound);

  // Missing keys and values, bad arguments: exit code 1 and nothing changed.
  for (auto args : {std::initializer_list<std::string>{"query", key, "/v", "Nope"},
                    {"query", "HKLM\\SOFTWARE\\Nope"},
                    {"delete", key, "/v", "Nope", "/f"},
                    {"delete", "HKLM\\SOFTWARE\\Nope", "/f"},
                    {"export", "HKLM\\SOFTWARE\\Nope", prefix.path() + "/x.reg"}}) {
    r = Tool(args);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, kNotFound);
  }
  r = Tool({"add", key, "/v", "D", "/t", "REG_DWORD", "/d", "12abc"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out.rfind("ERROR: Invalid syntax.", 0), 0u) << r.out;
  EXPECT_EQ(Tool({"add", key, "/v", "D", "/t", "REG_DWORD", "/d", "4294967296"}).code, 1);
  EXPECT_EQ(Tool({"add", key, "/v", "B", "/t", "REG_BINARY", "/d", "0g"}).code, 1);
  EXPECT_EQ(Tool({"add", key, "/v", "T", "/t", "REG_FOO", "/d", "x"}).code, 1);
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "D"), "missing");
  EXPECT_EQ(Tool({"query", "HKEY_USERS\\x"}).out.rfind("ERROR: Invalid key name.", 0), 0u);
  EXPECT_EQ(Tool({"delete", "HKLM", "/f"}).code, 1);
  EXPECT_EQ(Tool({"frobnicate"}).code, 1);
  Result help = Tool({"add", "/?"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("standard input is a terminal"), std::string::npos);
}

TEST(ZemirReg, ExportsAndImportsRegFiles) {
  test::TempPrefix prefix;
  const std::string key = "HKLM\\SOFTWARE\\Zemir";
  ASSERT_EQ(Tool({"add", key, "/v", "Name", "/d", "value"}).code, 0);
  ASSERT_EQ(Tool({"add", key + "\\Sub", "/v", "N", "/t", "REG_DWORD", "/d", "7"}).code, 0);
  const std::string file = prefix.path() + "/out.reg";
  EXPECT_EQ(Tool({"export", key, file}).out, kOk);
  const std::string exported = test::ReadFile(file);
  ASSERT_EQ(exported.substr(0, 4), std::string("\xFF\xFEW\0", 4));
  // An existing file is replaced only with /y.
  ASSERT_EQ(Tool({"add", key, "/v", "Later", "/d", "x"}).code, 0);
  Result r = Tool({"export", key, file});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("already exists"), std::string::npos);
  EXPECT_EQ(test::ReadFile(file), exported);
  EXPECT_EQ(Tool({"export", key, file, "/y"}).code, 0);
  EXPECT_NE(test::ReadFile(file), exported);
  EXPECT_EQ(Tool({"export", key, prefix.path() + "/ansi.reg", "/regedit4"}).code, 0);
  EXPECT_EQ(test::ReadFile(prefix.path() + "/ansi.reg").rfind("REGEDIT4\r\n", 0), 0u);

  ASSERT_EQ(Tool({"delete", key, "/f"}).code, 0);
  EXPECT_EQ(Tool({"import", file}).out, kOk);
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "Later"), std::string("x\0", 2));
  EXPECT_EQ(Read("SOFTWARE\\Zemir\\Sub", "N"), std::string("\x07\0\0\0", 4));

  // A malformed file: the line and reason, and nothing of it applied.
  const std::string bad = prefix.path() + "/bad.reg";
  std::ofstream(bad, std::ios::binary) << "Windows Registry Editor Version 5.00\r\n\r\n"
                                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir]\r\n"
                                          "\"Name\"=\"changed\"\r\n"
                                          "\"Count\"=dword:xyz\r\n";
  r = Tool({"import", bad});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "ERROR: " + bad + ": line 5: bad dword value\nNothing was imported.\n");
  EXPECT_EQ(Read("SOFTWARE\\Zemir", "Name"), std::string("value\0", 6));
  EXPECT_EQ(Tool({"import", prefix.path() + "/missing.reg"}).code, 1);
}
