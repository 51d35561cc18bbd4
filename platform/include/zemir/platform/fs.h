// Windows paths on the host: drive letters resolve through the drive map of the prefix.
#pragma once
#include <string>
#include <vector>

#include "zemir/platform/win32.h"

namespace zemir::platform {

// "C:\dir\file" -> <prefix>/drive_c/dir/file; other letters through the drive map below.
// Each component matches an existing entry without regard to case. Plain POSIX paths pass
// through unchanged. Returns an empty string when the drive letter is not mapped.
std::string HostPath(const std::string& windowsPath);

// Drive types (GetDriveType).
constexpr UINT DRIVE_UNKNOWN = 0;
constexpr UINT DRIVE_NO_ROOT_DIR = 1;
constexpr UINT DRIVE_REMOVABLE = 2;
constexpr UINT DRIVE_FIXED = 3;
constexpr UINT DRIVE_REMOTE = 4;
constexpr UINT DRIVE_CDROM = 5;
constexpr UINT DRIVE_RAMDISK = 6;

// One drive letter of the drive map.
struct DriveMapEntry {
  char letter = 0;            // upper case
  std::string root;           // host folder holding the drive's files (may be empty)
  UINT type = DRIVE_FIXED;    // drive type
  std::string image;          // host file or block device with the drive's raw sectors
  std::string interfacePath;  // disk device-interface path of the disk that holds the drive
  std::string sysfsDisk;      // for host media: the sysfs name of the disk ("sdb")
  bool readOnly = false;      // write-protected media
};

// The drive map, in letter order:
// - C: is drive_c/ in the prefix (fixed);
// - letters from SYSTEM\DosDevices of the emulated registry: value "E:" names the host folder;
//   optional values "E:Type" (a drive type number, default fixed), "E:Image" (host path of an
//   image file or device with the raw sectors), "E:Interface" (the device-interface path of
//   its disk) and "E:ReadOnly" (1: write-protected);
// - removable and optical media mounted on the host (a USB disk, a disk whose sysfs
//   "removable" is 1, or an optical drive), given the free letters from D: in mount order;
//   a read-only mount is write-protected. ZEMIR_NO_HOST_MEDIA=1 leaves them out (tests).
std::vector<DriveMapEntry> DriveMap();
// The entry of one letter (either case); false when the letter is not mapped.
bool LookupDrive(char letter, DriveMapEntry& out);

}  // namespace zemir::platform
