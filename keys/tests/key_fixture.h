// Shared set-up of the key layer tests: a temporary prefix with its log, drives made from real
// FAT32 images, registry helpers.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "temp_prefix.h"
#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/platform/fs.h"
#include "zemir/platform/registry.h"

namespace zemir::test {

constexpr const char* kStickInterface =
    "\\\\?\\usbstor#disk&ven_zemir&prod_flash_disk&rev_1.00#0019e06b9c7aa9b0e8c00013&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

class KeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ZEMIR_NO_HOST_MEDIA", "1", 1);
    log_ = prefix_.path() + "/keys.log";
    GetTraceMaker().Open(log_.c_str(), 900);
  }
  void TearDown() override { unsetenv("ZEMIR_NO_HOST_MEDIA"); }

  std::string Log() const { return ReadFile(log_); }
  bool Logged(const std::string& line) const { return Log().find(line) != std::string::npos; }

  static void SetDos(const std::string& name, const std::string& text) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\DosDevices", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
    RegSetValueExA(k, name.c_str(), REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), static_cast<DWORD>(text.size() + 1));
    RegCloseKey(k);
  }
  static void SetDosDword(const std::string& name, DWORD v) {
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\DosDevices", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
    RegSetValueExA(k, name.c_str(), REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
    RegCloseKey(k);
  }
  static void SetProduct(const char* name, const char* text) { WriteRegString(HKEY_LOCAL_MACHINE, kProductKey, name, text); }
  static void SetProductDword(const char* name, DWORD v) { WriteRegDword(HKEY_LOCAL_MACHINE, kProductKey, name, v); }

  // A removable drive: a real FAT32 image (volume serial `serial`) for the raw sectors and a
  // host folder for the files, on a USB disk with the given interface path.
  std::string MakeStick(char letter, const std::string& interfacePath, const char* serial = "1A2B3C4D") {
    std::string l(1, letter);
    std::string img = prefix_.path() + "/stick_" + l + ".img", dir = prefix_.path() + "/stick_" + l;
    std::filesystem::create_directories(dir);
    std::string cmd = "mkfs.vfat -C -F 32 -i " + std::string(serial) + " " + img + " 34000 >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    SetDos(l + ":", dir);
    SetDos(l + ":Image", img);
    SetDosDword(l + ":Type", platform::DRIVE_REMOVABLE);
    if (!interfacePath.empty()) SetDos(l + ":Interface", interfacePath);
    return dir;
  }

  TempPrefix prefix_;
  std::string log_;
};

}  // namespace zemir::test
