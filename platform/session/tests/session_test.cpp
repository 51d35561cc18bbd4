// Workstation actions in dry run: what each records, injected failures, the test-run safety net.
// No test here may run an action for real: every test checks the dry-run file first.
#include "zemir/platform/session.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "temp_prefix.h"

using namespace zemir;

namespace {

// Sets the dry-run file for one test and restores the environment afterwards.
class DryRun {
 public:
  explicit DryRun(const std::string& file) {
    setenv("ZEMIR_SESSION_DRYRUN", file.c_str(), 1);
    unsetenv("ZEMIR_SESSION_DRYRUN_FAIL");
    unsetenv("XDG_SESSION_ID");
  }
  ~DryRun() {
    unsetenv("ZEMIR_SESSION_DRYRUN");
    unsetenv("ZEMIR_SESSION_DRYRUN_FAIL");
  }
};

}  // namespace

TEST(Session, ActionsAreRecordedWithTheirCommands) {
  test::TempPrefix prefix;
  std::string file = prefix.path() + "/actions.txt";
  DryRun dry(file);
  ASSERT_EQ(platform::SessionDryRunFile(), file);

  EXPECT_TRUE(LockWorkStation());
  EXPECT_TRUE(ExitWindowsEx(EWX_LOGOFF, 16));
  EXPECT_TRUE(ExitWindowsEx(EWX_POWEROFF, 16));
  EXPECT_TRUE(ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 16));
  EXPECT_TRUE(SetSystemPowerState(0, 1));
  EXPECT_TRUE(StartScreenSaver());
  setenv("XDG_SESSION_ID", "c7", 1);
  EXPECT_TRUE(ExitWindowsEx(EWX_LOGOFF, 16));
  unsetenv("XDG_SESSION_ID");
  EXPECT_FALSE(ExitWindowsEx(0x40, 16));  // not an action: nothing recorded

  EXPECT_EQ(test::ReadFile(file),
            "lock\tloginctl lock-sessions\n"
            "logoff\tloginctl terminate-seat seat0\n"
            "poweroff\tsystemctl poweroff\n"
            "reboot\tsystemctl reboot\n"
            "hibernate\tsystemctl hibernate --ignore-inhibitors\n"
            "screensaver\txdg-screensaver activate\n"
            "logoff\tloginctl terminate-session c7\n");
}

TEST(Session, ListedActionsFailSoFallbacksCanBeTested) {
  test::TempPrefix prefix;
  std::string file = prefix.path() + "/actions.txt";
  DryRun dry(file);
  ASSERT_EQ(platform::SessionDryRunFile(), file);
  setenv("ZEMIR_SESSION_DRYRUN_FAIL", "logoff, hibernate", 1);
  EXPECT_FALSE(ExitWindowsEx(EWX_LOGOFF, 16));
  EXPECT_FALSE(SetSystemPowerState(0, 1));
  EXPECT_TRUE(LockWorkStation());
  // A failed action is still recorded: the attempt is what a test checks.
  EXPECT_EQ(test::ReadFile(file),
            "logoff\tloginctl terminate-seat seat0\n"
            "hibernate\tsystemctl hibernate --ignore-inhibitors\n"
            "lock\tloginctl lock-sessions\n");
}

TEST(Session, UnderTheTestRunnerActionsAreNeverPerformed) {
  test::TempPrefix prefix;
  const char* oldBin = getenv("ZEMIR_BUILD_BIN");
  std::string saved = oldBin ? oldBin : "";
  unsetenv("ZEMIR_SESSION_DRYRUN");
  setenv("ZEMIR_BUILD_BIN", "/nonexistent", 1);
  std::string expected = prefix.path() + "/session-dryrun.log";
  ASSERT_EQ(platform::SessionDryRunFile(), expected);  // never go on without a dry-run file
  EXPECT_TRUE(LockWorkStation());
  EXPECT_EQ(test::ReadFile(expected), "lock\tloginctl lock-sessions\n");
  if (oldBin) setenv("ZEMIR_BUILD_BIN", saved.c_str(), 1);
  else unsetenv("ZEMIR_BUILD_BIN");
}
