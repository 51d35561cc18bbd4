#include "zemir/platform/module.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "temp_prefix.h"
#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"

using namespace zemir;

namespace {
void SetZemirPath(const std::string& v) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  RegSetValueExA(k, "ZemirPath", REG_SZ, reinterpret_cast<const BYTE*>(v.c_str()), static_cast<DWORD>(v.size() + 1));
  RegCloseKey(k);
}
}  // namespace

TEST(Module, DllNamesLoadSharedObjectsFromZemirPathAndFolders) {
  test::TempPrefix prefix;
  // Not beside the test program (the build folder holds it, but copy it elsewhere to test ZemirPath).
  std::filesystem::path lib = std::filesystem::path(test::BuildBin()) / "zemir_modtest.so";
  ASSERT_TRUE(std::filesystem::exists(lib));
  std::filesystem::create_directories(platform::DriveC() / "Zemir");
  std::filesystem::copy_file(lib, platform::DriveC() / "Zemir" / "zemir_zp.so");

  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("zemir_zp.dll"), nullptr);
  EXPECT_EQ(GetLastError(), 126u);

  SetZemirPath("C:\\ZEMIR");
  HMODULE h = LoadLibraryA("ZEMIR_ZP.DLL");  // file names compare without regard to case
  ASSERT_NE(h, nullptr) << platform::LastLoadError();
  auto fn = reinterpret_cast<int (*)()>(GetProcAddress(h, "ModTestAnswer"));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn(), 42);
  EXPECT_EQ(GetProcAddress(h, "Missing"), nullptr);
  EXPECT_EQ(GetLastError(), 127u);
  EXPECT_TRUE(FreeLibrary(h));

  // A full path loads from that folder only.
  HMODULE h2 = LoadLibraryA(lib.string().c_str());
  ASSERT_NE(h2, nullptr);
  FreeLibrary(h2);
  HMODULE h3 = LoadLibraryA("C:\\Elsewhere\\zemir_zp.dll");
  EXPECT_EQ(h3, nullptr);

  // A file that is not a shared object is a bad image.
  std::filesystem::create_directories(platform::DriveC() / "Bad");
  { FILE* f = fopen((platform::DriveC() / "Bad" / "bad.so").c_str(), "w"); fputs("nope", f); fclose(f); }
  EXPECT_EQ(LoadLibraryA("C:\\Bad\\bad.dll"), nullptr);
  EXPECT_EQ(GetLastError(), 193u);
}
