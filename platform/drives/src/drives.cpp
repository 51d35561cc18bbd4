// Logical drives over the drive map: types, volume serials (boot sector or libblkid), sizes, raw I/O.
#include "zemir/platform/drives.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "zemir/platform/module.h"

namespace zemir::platform {

namespace {

DWORD Le32(const unsigned char* p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}

bool Lookup(const char* root, DriveMapEntry& e) {
  char l = root ? DriveLetterOf(root) : 0;
  return l && LookupDrive(l, e);
}

// The serial from a FAT, FAT32 or NTFS boot sector; false for other file systems.
bool BootSectorSerial(const unsigned char* s, DWORD* serial, std::string* fs) {
  if (std::memcmp(s + 82, "FAT32", 5) == 0) {
    *serial = Le32(s + 67);
    if (fs) *fs = "FAT32";
    return true;
  }
  if (std::memcmp(s + 54, "FAT", 3) == 0) {
    *serial = Le32(s + 39);
    if (fs) *fs = "FAT";
    return true;
  }
  if (std::memcmp(s + 3, "NTFS", 4) == 0) {
    *serial = Le32(s + 72);
    if (fs) *fs = "NTFS";
    return true;
  }
  return false;
}

// Turns a file system identifier into a 32-bit serial: "1234-ABCD" -> 0x1234ABCD, a UUID ->
// its first eight hexadecimal digits.
bool IdToSerial(const char* id, DWORD* serial) {
  std::string hex;
  for (const char* p = id; *p && hex.size() < 8; ++p)
    if (std::isxdigit(static_cast<unsigned char>(*p))) hex.push_back(*p);
  if (hex.empty()) return false;
  *serial = static_cast<DWORD>(std::strtoul(hex.c_str(), nullptr, 16));
  return true;
}

bool BlkidSerial(const std::string& image, DWORD* serial, std::string* fs, std::string* label) {
  blkid_probe pr = blkid_new_probe_from_filename(image.c_str());
  if (!pr) return false;
  blkid_probe_enable_superblocks(pr, 1);
  blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_UUID | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL);
  bool ok = false;
  if (blkid_do_safeprobe(pr) == 0) {
    const char* v = nullptr;
    if (blkid_probe_lookup_value(pr, "UUID", &v, nullptr) == 0 && v) ok = IdToSerial(v, serial);
    if (fs && blkid_probe_lookup_value(pr, "TYPE", &v, nullptr) == 0 && v) {
      *fs = v;
      for (char& c : *fs) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (label && blkid_probe_lookup_value(pr, "LABEL", &v, nullptr) == 0 && v) *label = v;
  }
  blkid_free_probe(pr);
  return ok;
}

}  // namespace

char DriveLetterOf(const std::string& path) {
  std::string p = path;
  if (p.rfind("\\\\.\\", 0) == 0 || p.rfind("\\\\?\\", 0) == 0) p = p.substr(4);
  if (p.size() < 2 || p[1] != ':' || !std::isalpha(static_cast<unsigned char>(p[0]))) return 0;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])));
}

std::vector<std::string> GetLogicalDriveStrings() {
  std::vector<std::string> out;
  for (const DriveMapEntry& e : DriveMap()) out.push_back(std::string(1, e.letter) + ":\\");
  return out;
}

UINT GetDriveTypeA(const char* root) {
  DriveMapEntry e;
  if (!Lookup(root, e)) return DRIVE_NO_ROOT_DIR;
  return e.type;
}

bool GetVolumeInformationA(const char* root, DWORD* serial, std::string* fileSystem, std::string* label) {
  DriveMapEntry e;
  if (!Lookup(root, e)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  DWORD s = 0;
  if (fileSystem) fileSystem->clear();
  if (label) label->clear();
  if (!e.image.empty()) {
    VolumeHandle v;
    unsigned char sector[512];
    if (!v.Open("\\\\.\\" + std::string(1, e.letter) + ":", false) || !v.Read(0, sector, sizeof sector)) {
      SetLastError(ERROR_NOT_READY);
      return false;
    }
    if (!BootSectorSerial(sector, &s, fileSystem) && !BlkidSerial(e.image, &s, fileSystem, label)) {
      SetLastError(ERROR_NOT_READY);  // unformatted media
      return false;
    }
  } else {
    struct statvfs st{};
    if (e.root.empty() || statvfs(e.root.c_str(), &st) != 0) {
      SetLastError(ERROR_NOT_READY);
      return false;
    }
    s = static_cast<DWORD>(st.f_fsid);
    if (fileSystem) *fileSystem = "NTFS";
  }
  if (serial) *serial = s;
  return true;
}

bool GetDiskFreeSpaceExA(const char* root, std::uint64_t* freeBytes, std::uint64_t* totalBytes) {
  DriveMapEntry e;
  if (!Lookup(root, e)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  struct statvfs st{};
  if (e.root.empty() || statvfs(e.root.c_str(), &st) != 0) {
    SetLastError(ERROR_NOT_READY);
    return false;
  }
  if (freeBytes) *freeBytes = static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
  if (totalBytes) *totalBytes = static_cast<std::uint64_t>(st.f_blocks) * st.f_frsize;
  return true;
}

VolumeHandle& VolumeHandle::operator=(VolumeHandle&& o) noexcept {
  if (this != &o) {
    Close();
    fd_ = o.fd_;
    readOnly_ = o.readOnly_;
    o.fd_ = -1;
  }
  return *this;
}

bool VolumeHandle::Open(const std::string& volumePath, bool write) {
  Close();
  char l = DriveLetterOf(volumePath);
  DriveMapEntry e;
  if (!l || !LookupDrive(l, e)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (e.image.empty()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  if (write && e.readOnly) {
    SetLastError(ERROR_WRITE_PROTECT);
    return false;
  }
  int fd = ::open(e.image.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) {
    SetLastError(errno == ENOENT ? ERROR_NOT_READY : ERROR_ACCESS_DENIED);
    return false;
  }
  fd_ = fd;
  readOnly_ = !write;
  return true;
}

void VolumeHandle::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool VolumeHandle::Read(std::uint64_t offset, void* buf, DWORD len) {
  if (fd_ < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  DWORD done = 0;
  while (done < len) {
    ssize_t n = ::pread(fd_, static_cast<char*>(buf) + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetLastError(n == 0 ? 38u /* ERROR_HANDLE_EOF */ : static_cast<DWORD>(ERROR_CANTREAD));
      return false;
    }
    done += static_cast<DWORD>(n);
  }
  return true;
}

bool VolumeHandle::Write(std::uint64_t offset, const void* buf, DWORD len) {
  if (fd_ < 0 || readOnly_) {
    SetLastError(fd_ < 0 ? ERROR_INVALID_HANDLE : ERROR_ACCESS_DENIED);
    return false;
  }
  DWORD done = 0;
  while (done < len) {
    ssize_t n = ::pwrite(fd_, static_cast<const char*>(buf) + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      SetLastError(ERROR_CANTWRITE);
      return false;
    }
    done += static_cast<DWORD>(n);
  }
  return true;
}

}  // namespace zemir::platform
