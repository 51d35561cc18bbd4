#include "zemir/common/trace.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "temp_prefix.h"
#include "zemir/common/regstore.h"

using namespace zemir;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
    out.push_back(text.substr(start, at - start));
  EXPECT_EQ(start, text.size()) << "the file ends inside a line";
  return out;
}

// Each test gets a fresh log object state by reopening; the variant is restored afterwards.
struct VariantGuard {
  TraceVariant old = GetTraceMaker().variant();
  ~VariantGuard() { GetTraceMaker().SetVariant(old); }
};

}  // namespace

TEST(Trace, StampIsSeventeenBlankPaddedCharacters) {
  EXPECT_EQ(CTraceMaker::Stamp(9, 5, 7, 42), " 9: 5 :  7: 42   ");
  EXPECT_EQ(CTraceMaker::Stamp(23, 59, 59, 999).size(), 17u);
}

TEST(Trace, OpenWritesHeaderAndLinesAreStamped) {
  test::TempPrefix prefix;
  VariantGuard g;
  std::string path = prefix.path() + "/remote_config.log";
  GetTraceMaker().Open(path.c_str(), 900);
  EXPECT_EQ(GetTraceMaker().limitKb(), 900u);
  const char* msvcFormat = "value %d of %s (0x%08I32X)";  // MSVC length modifier, understood too
  Trace(msvcFormat, 5, "x", 0x1234u);
  TraceW(u"wide %s and %S, %d%%", u"caf\u00e9", "narrow", 7);
  TraceCode("step", 0x1F);
  TraceCode("step", 0x1F, "more", 0xABC);
  auto lines = Lines(test::ReadFile(path));
  ASSERT_EQ(lines.size(), 7u);  // the first header line holds two bare line feeds
  std::regex stamp(R"([ 0-9]{2}:[ 0-9]{2} : [ 0-9]{2}:[ 0-9]{3}   [\s\S]*)");
  for (auto& l : lines) EXPECT_TRUE(std::regex_match(l, stamp)) << l;
  EXPECT_EQ(lines[0].substr(17), "\n\n");
  EXPECT_EQ(lines[1].substr(17), std::string(50, '=') + " ");
  std::string v;
  ASSERT_TRUE(GetModuleVersion(&v, nullptr));
  EXPECT_EQ(lines[2].substr(17), std::string(29, '=') + " (" + BuildDate() + ", " + v + ", " + v + ".0.0)");
  EXPECT_EQ(lines[3].substr(17), "value 5 of x (0x00001234)");
  EXPECT_EQ(lines[4].substr(17), "wide caf\xe9 and narrow, 7%");
  EXPECT_EQ(lines[5].substr(17), "step, 1F");
  EXPECT_EQ(lines[6].substr(17), "step, 1F, more, ABC");
}

TEST(Trace, LongMessagesAreCutToTheirBuffer) {
  test::TempPrefix prefix;
  VariantGuard g;
  std::string path = prefix.path() + "/cut.log";
  GetTraceMaker().SetVariant(TraceVariant::Service);
  GetTraceMaker().Open(path.c_str(), 900);
  std::string big(20000, 'x');
  Trace("%s", big.c_str());
  TraceW(u"%S", big.c_str());
  GetTraceMaker().WriteLine(big.c_str());
  auto lines = Lines(test::ReadFile(path));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[3].size(), 17u + 1511u);
  EXPECT_EQ(lines[4].size(), 17u + 499u);
  EXPECT_EQ(lines[5].size() + 2, 15499u);
}

TEST(Trace, MessagesBeforeOpenAreLostAndOversizeFilesRestart) {
  test::TempPrefix prefix;
  VariantGuard g;
  CTraceMaker fresh;
  fresh.WriteLine("lost");  // no path yet: nothing happens
  EXPECT_EQ(fresh.limitKb(), 600u);
  std::string path = prefix.path() + "/big.log";
  fresh.Open(path.c_str(), 900);
  {
    std::ofstream f(path, std::ios::binary | std::ios::app);
    f << std::string(921601, 'a');
  }
  fresh.WriteLine("first of the new file");
  auto lines = Lines(test::ReadFile(path));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(17), "first of the new file");
  // Exactly at the limit is kept.
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << std::string(921600, 'a');
  }
  fresh.WriteLine("appended");
  EXPECT_GT(std::filesystem::file_size(path), 921600u);
}

TEST(Trace, DisableLogSwitchPerVariant) {
  test::TempPrefix prefix;
  std::string path = prefix.path() + "/switch.log";
  CTraceMaker console;
  console.Open(path.c_str(), 900);
  console.WriteLine("one");
  ASSERT_TRUE(std::filesystem::exists(path));
  // HKCU only stops the writing.
  WriteRegDword(HKEY_CURRENT_USER, "Software\\Zemir", "DisableLog", 1);
  console.WriteLine("two");
  EXPECT_EQ(test::ReadFile(path).find("two"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(path));
  WriteRegDword(HKEY_CURRENT_USER, "Software\\Zemir", "DisableLog", 0);
  // HKLM deletes the console's log at the next line.
  WriteRegString(HKEY_LOCAL_MACHINE, "Software\\Zemir", "DisableLog", "1");
  console.WriteLine("three");
  EXPECT_FALSE(std::filesystem::exists(path));

  // The service leaves its file alone, and an Open while off stores no path.
  { std::ofstream(path) << "old\r\n"; }
  CTraceMaker service;
  service.SetVariant(TraceVariant::Service);
  service.Open(path.c_str(), 900);
  service.WriteLine("x");
  EXPECT_EQ(test::ReadFile(path), "old\r\n");
  // The console's Open while off deletes the file.
  CTraceMaker console2;
  console2.Open(path.c_str(), 900);
  EXPECT_FALSE(std::filesystem::exists(path));
  WriteRegString(HKEY_LOCAL_MACHINE, "Software\\Zemir", "DisableLog", "0");
  console2.WriteLine("still nothing: started with logging off");
  service.WriteLine("nor here");
  EXPECT_FALSE(std::filesystem::exists(path));
}

// Another process switching the log off takes effect at this process's next line.
TEST(Trace, SwitchSetByAnotherProcessTakesEffectAtOnce) {
  test::TempPrefix prefix;
  std::string path = prefix.path() + "/other.log";
  CTraceMaker maker;
  maker.Open(path.c_str(), 900);
  maker.WriteLine("before");
  RegResetConnections();
  pid_t kid = fork();
  if (kid == 0) {
    RegResetConnections();
    _exit(WriteRegDword(HKEY_CURRENT_USER, "Software\\Zemir", "DisableLog", 1) ? 0 : 1);
  }
  int st = 0;
  waitpid(kid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  maker.WriteLine("after");
  std::string text = test::ReadFile(path);
  EXPECT_NE(text.find("before"), std::string::npos);
  EXPECT_EQ(text.find("after"), std::string::npos);
}

TEST(Trace, ConcurrentAppendsKeepLinesWhole) {
  test::TempPrefix prefix;
  std::string path = prefix.path() + "/conc.log";
  GetTraceMaker().Open(path.c_str(), 100000);
  pid_t kid = fork();
  auto writer = [](char c) {
    std::string msg(300, c);
    for (int i = 0; i < 200; ++i) Trace("%s", msg.c_str());
  };
  if (kid == 0) {
    RegResetConnections();
    writer('p');
    _exit(0);
  }
  std::thread t1(writer, 'a'), t2(writer, 'b');
  t1.join();
  t2.join();
  waitpid(kid, nullptr, 0);
  auto lines = Lines(test::ReadFile(path));
  ASSERT_EQ(lines.size(), 3u + 600u);
  for (size_t i = 3; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i].size(), 317u);
    EXPECT_EQ(lines[i].substr(17), std::string(300, lines[i][17]));
  }
}

TEST(Trace, ModuleVersionFromAProgramFile) {
  test::TempPrefix prefix;
  std::string s, f;
  ASSERT_TRUE(GetModuleVersion(&s, &f));
  std::string s2 = "untouched", f2 = "untouched";
  // This test program carries the marker too.
  EXPECT_TRUE(GetModuleVersion(&s2, &f2, "/proc/self/exe"));
  EXPECT_EQ(f2, f);
  std::string plain = prefix.path() + "/plain.bin";
  { std::ofstream(plain) << "no version here"; }
  s2 = f2 = "untouched";
  EXPECT_FALSE(GetModuleVersion(&s2, &f2, plain.c_str()));
  EXPECT_EQ(s2, "untouched");
}
