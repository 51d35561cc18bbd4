#include "zemir/platform/fs.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "temp_prefix.h"
#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"

using namespace zemir;

TEST(Fs, DriveLettersResolveThroughTheDriveMap) {
  test::TempPrefix prefix;
  std::filesystem::create_directories(platform::DriveC() / "Program Files" / "Zemir");
  // Existing components match without regard to case; missing ones keep their spelling.
  EXPECT_EQ(platform::HostPath("c:\\PROGRAM FILES\\zemir\\new.log"),
            (platform::DriveC() / "Program Files" / "Zemir" / "new.log").string());
  EXPECT_EQ(platform::HostPath("/tmp/x"), "/tmp/x");
  EXPECT_EQ(platform::HostPath("E:\\_zemir\\zem.zem"), "");  // not mapped

  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\DosDevices", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  std::string e = prefix.path() + "/stick/";
  ASSERT_EQ(RegSetValueExA(k, "E:", REG_SZ, reinterpret_cast<const BYTE*>(e.c_str()), static_cast<DWORD>(e.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_EQ(platform::HostPath("e:\\_zemir\\zem.zem"), prefix.path() + "/stick/_zemir/zem.zem");
}
