#include "zemir/platform/desktop.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "zemir/platform/module.h"

using namespace zemir;
using namespace zemir::platform;

TEST(Desktop, InputDesktopMessageHookAndProcessStart) {
  setenv("ZEMIR_INPUT_DESKTOP", "WinLogon", 1);
  EXPECT_EQ(GetInputDesktopName(), "WinLogon");
  unsetenv("ZEMIR_INPUT_DESKTOP");
  std::string d = GetInputDesktopName();  // whatever this machine has; never a crash
  EXPECT_TRUE(d.empty() || d == "WinLogon" || d == "Default");

  EXPECT_EQ(MessageBoxA("x", "y", MB_OK), 0);  // no hook: dropped
  std::string seen;
  SetMessageBoxHook([&](const std::string& t, const std::string& c, UINT type) {
    seen = c + "|" + t + "|" + std::to_string(type);
    return 1;
  });
  EXPECT_EQ(MessageBoxA("text", "Title", MB_ICONWARNING), 1);
  EXPECT_EQ(seen, "Title|text|48");
  SetMessageBoxHook(nullptr);

  Process p;
  ASSERT_TRUE(CreateProcessA("/bin/true", "/", p));
  EXPECT_GT(p.pid(), 0);
  EXPECT_EQ(WaitForInputIdle(p, 3000), 0u);
  EXPECT_FALSE(CreateProcessA("/nonexistent/prog", "", p));
  EXPECT_EQ(GetLastError(), 2u);
}
