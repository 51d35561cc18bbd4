// Drive letters: the logical drives, their types, volume information, sizes and raw sectors.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "zemir/platform/fs.h"
#include "zemir/platform/win32.h"

namespace zemir::platform {

// "C:\", "E:\", ... in letter order (GetLogicalDriveStrings).
std::vector<std::string> GetLogicalDriveStrings();
// The type of the drive of a root such as "E:\" (GetDriveType); DRIVE_NO_ROOT_DIR when unmapped.
UINT GetDriveTypeA(const char* root);

// Volume information of a drive root. The serial comes from the boot sector of the drive's
// image or device for FAT, FAT32 and NTFS, else from the file system's identifier as libblkid
// reports it (for example exFAT "1234-ABCD" gives 0x1234ABCD, a UUID its first 8 digits),
// else, for a drive with only a folder, from the host file system's identifier.
// False with last error 21 (not ready) or 3 (no such drive).
bool GetVolumeInformationA(const char* root, DWORD* serial, std::string* fileSystem = nullptr,
                           std::string* label = nullptr);
// Free and total bytes of the drive (GetDiskFreeSpaceEx); false with the last error.
bool GetDiskFreeSpaceExA(const char* root, std::uint64_t* freeBytes, std::uint64_t* totalBytes);

// Raw access to a volume \\.\X: (CreateFile on a volume plus SetFilePointer, ReadFile and
// WriteFile): the drive's image file or device. Move-only; closes on destruction.
class VolumeHandle {
 public:
  VolumeHandle() = default;
  VolumeHandle(VolumeHandle&& o) noexcept : fd_(o.fd_), readOnly_(o.readOnly_) { o.fd_ = -1; }
  VolumeHandle& operator=(VolumeHandle&& o) noexcept;
  VolumeHandle(const VolumeHandle&) = delete;
  VolumeHandle& operator=(const VolumeHandle&) = delete;
  ~VolumeHandle() { Close(); }

  // Opens "\\.\X:" (or "X:", "X:\"). With `write` the volume is opened for reading and
  // writing; a write-protected drive refuses that with last error 19. False with the last
  // error (2: no such drive, 5: the drive has no image or device, 21: not ready).
  bool Open(const std::string& volumePath, bool write);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  // Transfers exactly `len` bytes at `offset`; false with the last error on a short transfer.
  bool Read(std::uint64_t offset, void* buf, DWORD len);
  bool Write(std::uint64_t offset, const void* buf, DWORD len);

 private:
  int fd_ = -1;
  bool readOnly_ = false;
};

// The drive letter of "\\.\X:", "X:", "X:\..." (upper case), or 0.
char DriveLetterOf(const std::string& path);

}  // namespace zemir::platform
