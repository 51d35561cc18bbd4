// Disk device interfaces ({53F56307-B6BF-11D0-94F2-00A0C91EFB8B}) and storage device numbers.
#pragma once
#include <string>
#include <vector>

#include "zemir/platform/win32.h"

namespace zemir::platform {

// One present disk interface.
struct DiskInterface {
  std::string devicePath;  // "\\?\usbstor#disk&ven_...&prod_...&rev_...#<serial>&0#{53f56307-...}"
  DWORD deviceNumber = 0;  // the disk's storage device number
  // Size of the interface detail record Windows hands out for this path: the 4-byte size
  // field plus the path and its terminator.
  DWORD DetailSize() const { return static_cast<DWORD>(4 + devicePath.size() + 1); }
};

// The present disks (SetupDiGetClassDevs with the disk interface class, present devices):
// the host's disks from /sys/block in name order, numbered from 0 the way Windows numbers
// physical drives, then the interface paths named by drive-map entries ("E:Interface")
// that are not among them, numbered after the host's. False with last error when sysfs
// cannot be read.
bool ListDiskInterfaces(std::vector<DiskInterface>& out);

// IOCTL_STORAGE_GET_DEVICE_NUMBER on a path opened with CreateFile: a volume "\\.\X:" or a
// disk interface path. Open fails (false, last error 2) when the path names nothing present;
// `numberKnown` is false when the device has no disk behind it (the request fails).
bool QueryDeviceNumber(const std::string& path, DWORD* number, bool* numberKnown);

}  // namespace zemir::platform
