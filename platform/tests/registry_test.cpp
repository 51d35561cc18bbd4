#include "zemir/platform/registry.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "temp_prefix.h"

using namespace zemir;

namespace {

LONG SetSz(HKEY k, const char* name, const std::string& v) {
  return RegSetValueExA(k, name, REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()), static_cast<DWORD>(v.size() + 1));
}

}  // namespace

TEST(Registry, KeysAndValuesIgnoreCaseAndKeepIt) {
  test::TempPrefix prefix;
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(k, nullptr);
  DWORD disp = 0;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\Sub", KEY_ALL_ACCESS, &k, &disp), ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
  ASSERT_EQ(SetSz(k, "ZemirPath", "C:\\Zemir\\"), ERROR_SUCCESS);
  RegCloseKey(k);

  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\ZEMIR\\sub", 0, KEY_READ | KEY_WOW64_32KEY, &k), ERROR_SUCCESS);
  EXPECT_EQ(RegKeyPath(k), "HKEY_LOCAL_MACHINE\\SOFTWARE\\Zemir\\Sub");
  char buf[64];
  std::memset(buf, 0xbd, sizeof buf);
  DWORD type = 0xdeadbeef, cb = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(k, "ZEMIRPATH", &type, reinterpret_cast<BYTE*>(buf), &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(cb, 10u);
  EXPECT_STREQ(buf, "C:\\Zemir\\");
  EXPECT_EQ(static_cast<unsigned char>(buf[10]), 0xbd);  // nothing written past the value

  // Too small a buffer: ERROR_MORE_DATA, the needed size, and the buffer untouched.
  std::memset(buf, 0xbd, sizeof buf);
  cb = 4;
  EXPECT_EQ(RegQueryValueExA(k, "ZemirPath", &type, reinterpret_cast<BYTE*>(buf), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 10u);
  EXPECT_EQ(static_cast<unsigned char>(buf[0]), 0xbd);
  // Size only.
  cb = 0;
  EXPECT_EQ(RegQueryValueExA(k, "ZemirPath", nullptr, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 10u);
  // The name keeps the case it was created with.
  std::vector<RegValue> vals;
  ASSERT_EQ(RegListValues(k, vals), ERROR_SUCCESS);
  ASSERT_EQ(vals.size(), 1u);
  EXPECT_EQ(vals[0].name, "ZemirPath");
  RegCloseKey(k);

  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\zemir\\SUB", KEY_ALL_ACCESS, &k, &disp), ERROR_SUCCESS);
  EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(RegDeleteValueA(k, "zemirpath"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(k, "zemirpath"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(k);
}

TEST(Registry, EnumerationIsStableAndTreesDelete) {
  test::TempPrefix prefix;
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  for (const char* n : {"zeta", "Alpha", "mid"}) ASSERT_EQ(SetSz(k, n, n), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(k, "ALPHA", "again"), ERROR_SUCCESS);  // overwrite keeps its place
  HKEY sub = nullptr;
  for (const char* n : {"b\\deep", "A", "c"}) {
    ASSERT_EQ(RegCreateKeyExA(k, n, KEY_ALL_ACCESS, &sub), ERROR_SUCCESS);
    RegCloseKey(sub);
  }
  char name[16];
  std::vector<std::string> got;
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof name;
    LONG rc = RegEnumValueA(k, i, name, &cch, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(rc, ERROR_SUCCESS);
    got.push_back(name);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"zeta", "Alpha", "mid"}));
  std::vector<std::string> keys;
  ASSERT_EQ(RegListSubkeys(k, keys), ERROR_SUCCESS);
  EXPECT_EQ(keys, (std::vector<std::string>{"A", "b", "c"}));
  DWORD cch = 1;
  EXPECT_EQ(RegEnumKeyExA(k, 0, name, &cch), ERROR_MORE_DATA);

  // A sibling whose name starts like the deleted key survives ("b" vs "b2").
  ASSERT_EQ(RegCreateKeyExA(k, "b2", KEY_ALL_ACCESS, &sub), ERROR_SUCCESS);
  RegCloseKey(sub);
  ASSERT_EQ(RegDeleteTreeA(k, "B"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(k, "b\\deep", 0, KEY_READ, &sub), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegListSubkeys(k, keys), ERROR_SUCCESS);
  EXPECT_EQ(keys, (std::vector<std::string>{"A", "b2", "c"}));
  // Null subkey empties the key but keeps it.
  ASSERT_EQ(RegDeleteTreeA(k, nullptr), ERROR_SUCCESS);
  ASSERT_EQ(RegListSubkeys(k, keys), ERROR_SUCCESS);
  EXPECT_TRUE(keys.empty());
  std::vector<RegValue> vals;
  ASSERT_EQ(RegListValues(k, vals), ERROR_SUCCESS);
  EXPECT_TRUE(vals.empty());
  // A key read before and then deleted by this process no longer opens.
  HKEY reader = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", 0, KEY_READ, &reader), ERROR_SUCCESS);
  RegCloseKey(reader);
  // Writing to a key deleted under an open handle fails instead of resurrecting it.
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", 0, KEY_READ, &reader), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetSz(k, "x", "y"), ERROR_KEY_DELETED);
  RegCloseKey(k);
  EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir"), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, HivesAreSeparateAndReadOnlyHandlesRefuseWrites) {
  test::TempPrefix prefix;
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Zemir", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  ASSERT_EQ(SetSz(k, "DisableLog", "1"), ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Zemir", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Zemir", 0, KEY_QUERY_VALUE, &k), ERROR_SUCCESS);
  EXPECT_EQ(SetSz(k, "DisableLog", "0"), ERROR_ACCESS_DENIED);
  RegCloseKey(k);
}

// Two processes writing 1,000 values each at the same time lose none.
TEST(Registry, ConcurrentWritersFromTwoProcessesLoseNothing) {
  test::TempPrefix prefix;
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\Load", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  RegCloseKey(k);
  RegResetConnections();
  pid_t kids[2];
  for (int w = 0; w < 2; ++w) {
    kids[w] = fork();
    if (kids[w] == 0) {
      RegResetConnections();
      HKEY kk = nullptr;
      if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\Load", 0, KEY_ALL_ACCESS, &kk)) _exit(2);
      for (int i = 0; i < 1000; ++i) {
        std::string n = "w" + std::to_string(w) + "_" + std::to_string(i);
        if (SetSz(kk, n.c_str(), n) != ERROR_SUCCESS) _exit(3);
      }
      _exit(0);
    }
  }
  for (pid_t p : kids) {
    int st = 0;
    waitpid(p, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  }
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\Load", 0, KEY_READ, &k), ERROR_SUCCESS);
  std::vector<RegValue> vals;
  ASSERT_EQ(RegListValues(k, vals), ERROR_SUCCESS);
  EXPECT_EQ(vals.size(), 2000u);
  RegCloseKey(k);
}

// A value whose write returned success survives kill -9 of the writer right after.
TEST(Registry, AcknowledgedWriteSurvivesKill) {
  test::TempPrefix prefix;
  int pipefd[2];
  ASSERT_EQ(pipe(pipefd), 0);
  RegResetConnections();
  pid_t kid = fork();
  if (kid == 0) {
    RegResetConnections();
    HKEY kk = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", KEY_ALL_ACCESS, &kk)) _exit(2);
    for (int i = 0;; ++i) {
      std::string v = std::to_string(i);
      if (SetSz(kk, "Counter", v) != ERROR_SUCCESS) _exit(3);
      if (write(pipefd[1], &i, sizeof i) != sizeof i) _exit(4);
    }
  }
  close(pipefd[1]);
  int last = -1, got;
  for (int n = 0; n < 200 && read(pipefd[0], &got, sizeof got) == sizeof got; ++n) last = got;
  kill(kid, SIGKILL);
  // Drain what was acknowledged before the kill landed.
  while (read(pipefd[0], &got, sizeof got) == sizeof got) last = got;
  waitpid(kid, nullptr, 0);
  close(pipefd[0]);
  ASSERT_GE(last, 0);
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", 0, KEY_READ, &k), ERROR_SUCCESS);
  char buf[32] = {};
  DWORD cb = sizeof buf;
  ASSERT_EQ(RegQueryValueExA(k, "Counter", nullptr, reinterpret_cast<BYTE*>(buf), &cb), ERROR_SUCCESS);
  EXPECT_GE(std::stoi(buf), last);
  RegCloseKey(k);
}

// Key lookups are cached for reads; a key that another process deletes and recreates (its id
// reused by another key) or that this process changes is never read through a stale id.
TEST(Registry, ReadsFollowKeysChangedByOthersAndSelf) {
  test::TempPrefix prefix;
  auto readV = [](const char* subkey) {
    HKEY k = nullptr;
    if (LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ | KEY_WOW64_32KEY, &k))
      return "open " + std::to_string(rc);
    char buf[16] = {};
    DWORD cb = sizeof buf;
    LONG rc = RegQueryValueExA(k, "v", nullptr, reinterpret_cast<BYTE*>(buf), &cb);
    RegCloseKey(k);
    return rc ? "query " + std::to_string(rc) : std::string(buf);
  };
  auto writeV = [](const char* subkey, const char* v) {
    HKEY k = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey, KEY_ALL_ACCESS, &k)) return false;
    bool ok = SetSz(k, "v", v) == ERROR_SUCCESS;
    RegCloseKey(k);
    return ok;
  };
  ASSERT_TRUE(writeV("SOFTWARE\\Zemir\\A", "1"));
  RegResetConnections();
  int go[2], done[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t kid = fork();
  if (kid == 0) {
    char c;
    if (read(go[0], &c, 1) != 1) _exit(2);
    // Deleting A frees the highest key id, which B then gets; A comes back with a new one.
    if (RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\A") || !writeV("SOFTWARE\\Zemir\\B", "2") ||
        !writeV("SOFTWARE\\Zemir\\A", "3"))
      _exit(3);
    if (write(done[1], "x", 1) != 1) _exit(4);
    if (read(go[0], &c, 1) != 1) _exit(2);
    if (RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\A")) _exit(5);
    if (write(done[1], "x", 1) != 1) _exit(4);
    _exit(0);
  }
  EXPECT_EQ(readV("SOFTWARE\\Zemir\\A"), "1");
  EXPECT_EQ(readV("SOFTWARE\\Zemir\\A"), "1");  // from the cache
  char c;
  ASSERT_EQ(write(go[1], "x", 1), 1);
  ASSERT_EQ(read(done[0], &c, 1), 1);
  EXPECT_EQ(readV("SOFTWARE\\Zemir\\A"), "3");
  EXPECT_EQ(readV("SOFTWARE\\Zemir\\B"), "2");
  ASSERT_EQ(write(go[1], "x", 1), 1);
  ASSERT_EQ(read(done[0], &c, 1), 1);
  // An open served from the cache may succeed; its query then finds the key deleted.
  std::string gone = readV("SOFTWARE\\Zemir\\A");
  EXPECT_TRUE(gone == "open 2" || gone == "query 1018") << gone;
  EXPECT_EQ(readV("SOFTWARE\\Zemir\\A"), "open 2");
  int st = 0;
  waitpid(kid, &st, 0);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;

  // This process's own changes.
  EXPECT_EQ(readV("SOFTWARE\\Zemir\\B"), "2");
  ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\B"), ERROR_SUCCESS);
  ASSERT_TRUE(writeV("SOFTWARE\\Zemir\\C", "4"));
  ASSERT_TRUE(writeV("SOFTWARE\\Zemir\\B", "5"));
  EXPECT_EQ(readV("SOFTWARE\\Zemir\\B"), "5");
  EXPECT_EQ(readV("SOFTWARE\\Zemir\\C"), "4");
}

TEST(Registry, SplitsRootNames) {
  HKEY root = nullptr;
  std::string sub;
  EXPECT_TRUE(RegSplitPath("HKLM\\SOFTWARE\\Zemir", root, sub));
  EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(sub, "SOFTWARE\\Zemir");
  EXPECT_TRUE(RegSplitPath("hkey_current_user", root, sub));
  EXPECT_EQ(root, HKEY_CURRENT_USER);
  EXPECT_EQ(sub, "");
  EXPECT_FALSE(RegSplitPath("HKEY_USERS\\x", root, sub));
}

TEST(Registry, ChangeStampMovesWithWritesOfAnyProcessOnly) {
  test::TempPrefix prefix;
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  std::uint64_t a = 0, b = 0, c = 0, d = 0;
  ASSERT_TRUE(RegChangeStamp(HKEY_LOCAL_MACHINE, a));
  char buf[8];
  DWORD cb = sizeof buf;
  RegQueryValueExA(k, "Missing", nullptr, reinterpret_cast<BYTE*>(buf), &cb);
  ASSERT_TRUE(RegChangeStamp(HKEY_LOCAL_MACHINE, b));
  EXPECT_EQ(a, b);  // reads change nothing
  ASSERT_EQ(SetSz(k, "V", "1"), ERROR_SUCCESS);
  ASSERT_TRUE(RegChangeStamp(HKEY_LOCAL_MACHINE, c));
  EXPECT_NE(b, c);  // this process's write
  RegCloseKey(k);
  pid_t kid = fork();
  if (kid == 0) {
    RegResetConnections();
    HKEY kk = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", 0, KEY_ALL_ACCESS, &kk)) _exit(2);
    _exit(SetSz(kk, "V", "2") == ERROR_SUCCESS ? 0 : 3);
  }
  int st = 0;
  waitpid(kid, &st, 0);
  ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  ASSERT_TRUE(RegChangeStamp(HKEY_LOCAL_MACHINE, d));
  EXPECT_NE(c, d);  // another process's write
  // A connection opened anew starts its counters over; its stamps never repeat the old ones.
  RegResetConnections();
  std::uint64_t e = 0;
  ASSERT_TRUE(RegChangeStamp(HKEY_LOCAL_MACHINE, e));
  EXPECT_NE(d, e);
}
