#include "zemir/platform/drives.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "temp_prefix.h"
#include "zemir/platform/disk.h"
#include "zemir/platform/files.h"
#include "zemir/platform/module.h"
#include "zemir/platform/registry.h"

using namespace zemir;
using namespace zemir::platform;

namespace {

void SetDos(const std::string& name, const std::string& text) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\DosDevices", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  RegSetValueExA(k, name.c_str(), REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), static_cast<DWORD>(text.size() + 1));
  RegCloseKey(k);
}
void SetDosDword(const std::string& name, DWORD v) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\DosDevices", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  RegSetValueExA(k, name.c_str(), REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4);
  RegCloseKey(k);
}

struct NoHostMedia {
  NoHostMedia() { setenv("ZEMIR_NO_HOST_MEDIA", "1", 1); }
  ~NoHostMedia() { unsetenv("ZEMIR_NO_HOST_MEDIA"); }
};

}  // namespace

TEST(Drives, MapTypesSerialsAndSizesOfImageBackedDrives) {
  NoHostMedia nm;
  test::TempPrefix prefix;
  std::string img = prefix.path() + "/fat32.img", ext = prefix.path() + "/ext4.img";
  ASSERT_EQ(std::system(("mkfs.vfat -C -F 32 -i 1A2B3C4D " + img + " 40000 >/dev/null 2>&1").c_str()), 0);
  ASSERT_EQ(std::system(("mkfs.ext4 -q -U 0badf00d-1111-2222-3333-444455556666 " + ext + " 2048 >/dev/null 2>&1").c_str()), 0);
  std::filesystem::create_directories(prefix.path() + "/e");
  SetDos("E:", prefix.path() + "/e");
  SetDos("E:Image", img);
  SetDosDword("E:Type", DRIVE_REMOVABLE);
  SetDos("E:Interface", "\\\\?\\usbstor#disk&ven_x&prod_y&rev_1#0019e06b9c7aa9b0e8c00013&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
  SetDos("G:Image", ext);
  SetDosDword("G:Type", DRIVE_CDROM);

  auto roots = GetLogicalDriveStrings();
  ASSERT_EQ(roots, (std::vector<std::string>{"C:\\", "E:\\", "G:\\"}));
  EXPECT_EQ(GetDriveTypeA("e:\\"), DRIVE_REMOVABLE);
  EXPECT_EQ(GetDriveTypeA("C:\\"), DRIVE_FIXED);
  EXPECT_EQ(GetDriveTypeA("G:\\"), DRIVE_CDROM);
  EXPECT_EQ(GetDriveTypeA("Q:\\"), DRIVE_NO_ROOT_DIR);

  DWORD serial = 0;
  std::string fs;
  ASSERT_TRUE(GetVolumeInformationA("E:\\", &serial, &fs));
  EXPECT_EQ(serial, 0x1A2B3C4Du);
  EXPECT_EQ(fs, "FAT32");
  ASSERT_TRUE(GetVolumeInformationA("G:\\", &serial, &fs));  // no boot-sector signature: libblkid
  EXPECT_EQ(serial, 0x0BADF00Du);
  EXPECT_EQ(fs, "EXT4");
  EXPECT_FALSE(GetVolumeInformationA("Q:\\", &serial));

  std::uint64_t freeB = 0, total = 0;
  EXPECT_TRUE(GetDiskFreeSpaceExA("E:\\", &freeB, &total));
  EXPECT_GT(total, 0u);
  EXPECT_FALSE(GetDiskFreeSpaceExA("G:\\", &freeB, &total));  // no folder: no files to count

  VolumeHandle v;
  ASSERT_TRUE(v.Open("\\\\.\\E:", true));
  unsigned char sector[512];
  ASSERT_TRUE(v.Read(0, sector, sizeof sector));
  EXPECT_EQ(sector[510], 0x55);
  EXPECT_FALSE(v.Read(1ull << 40, sector, sizeof sector));
  VolumeHandle none;
  EXPECT_FALSE(none.Open("\\\\.\\C:", false));  // a folder drive has no raw sectors
  EXPECT_EQ(GetLastError(), 5u);

  // Device numbers: the volume and its interface agree; unknown paths fail to open.
  std::vector<DiskInterface> disks;
  ASSERT_TRUE(ListDiskInterfaces(disks));
  ASSERT_FALSE(disks.empty());
  EXPECT_EQ(disks.back().devicePath.substr(0, 12), "\\\\?\\usbstor#");
  DWORD vn = 99, dn = 98;
  bool known = false;
  ASSERT_TRUE(QueryDeviceNumber("\\\\.\\E:", &vn, &known));
  EXPECT_TRUE(known);
  ASSERT_TRUE(QueryDeviceNumber(disks.back().devicePath, &dn, &known));
  EXPECT_EQ(vn, dn);
  ASSERT_TRUE(QueryDeviceNumber("\\\\.\\C:", &vn, &known));
  EXPECT_FALSE(known);
  EXPECT_FALSE(QueryDeviceNumber("\\\\.\\Q:", &vn, &known));
  for (const auto& d : disks) EXPECT_EQ(d.devicePath.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos);
}

TEST(Drives, FilesHonourWriteProtectionAndReplaceAtomically) {
  NoHostMedia nm;
  test::TempPrefix prefix;
  std::filesystem::create_directories(prefix.path() + "/e");
  SetDos("E:", prefix.path() + "/e");
  SetDosDword("E:Type", DRIVE_REMOVABLE);

  ASSERT_TRUE(CreateDirectoryA("E:\\_zemir"));
  EXPECT_FALSE(CreateDirectoryA("E:\\_zemir"));
  EXPECT_EQ(GetLastError(), 183u);
  EXPECT_TRUE(SetFileAttributesA("E:\\_zemir", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_TRUE(GetFileAttributesA("e:\\_ZEMIR") & FILE_ATTRIBUTE_DIRECTORY);

  ASSERT_TRUE(WriteFileAtomicAt("E:\\_zemir\\zem.zem", 4, "abcd", 4));
  std::uint64_t size = 0;
  ASSERT_TRUE(GetFileSize("E:\\_zemir\\zem.zem", &size));
  EXPECT_EQ(size, 8u);
  ASSERT_TRUE(WriteFileAtomicAt("E:\\_zemir\\zem.zem", 0, "XY", 2));
  char buf[16] = {};
  DWORD got = 0;
  ASSERT_TRUE(ReadFileAt("E:\\_zemir\\zem.zem", 0, buf, sizeof buf, &got));
  ASSERT_EQ(got, 8u);
  EXPECT_EQ(std::string(buf, 8), std::string("XY\0\0abcd", 8));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(prefix.path() + "/e/_zemir"), {}), 1);  // no temp left
  EXPECT_TRUE(ProbeWrite("E:\\"));

  SetDosDword("E:ReadOnly", 1);
  EXPECT_FALSE(WriteFileAtomicAt("E:\\_zemir\\zem.zem", 0, "ZZ", 2));
  EXPECT_EQ(GetLastError(), 19u);
  EXPECT_FALSE(ProbeWrite("E:\\"));
  EXPECT_FALSE(DeleteFileA("E:\\_zemir\\zem.zem"));
  ASSERT_TRUE(ReadFileAt("E:\\_zemir\\zem.zem", 0, buf, 2, &got));
  EXPECT_EQ(std::string(buf, 2), "XY");

  EXPECT_FALSE(ReadFileAt("E:\\_zemir\\none", 0, buf, 2, &got));
  EXPECT_EQ(GetLastError(), 2u);
  EXPECT_FALSE(GetFileSize("R:\\x", &size));
  EXPECT_EQ(GetLastError(), 3u);
}
