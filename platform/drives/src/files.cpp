// File operations on Windows paths: write protection from the drive map, atomic replacement.
#include "zemir/platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "zemir/platform/drives.h"
#include "zemir/platform/fs.h"
#include "zemir/platform/module.h"

namespace zemir::platform {

namespace {

DWORD FromErrno(int e) {
  switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES: case EPERM: return ERROR_ACCESS_DENIED;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
    default: return ERROR_GEN_FAILURE;
  }
}

bool Fail(int e) {
  SetLastError(FromErrno(e));
  return false;
}

// The host path of `path`; empty with last error 3 when its drive is not mapped.
std::string Host(const std::string& path) {
  std::string h = HostPath(path);
  if (h.empty()) SetLastError(ERROR_PATH_NOT_FOUND);
  return h;
}

// False with last error 19 when the path lies on a write-protected drive.
bool Writable(const std::string& path) {
  char l = DriveLetterOf(path);
  DriveMapEntry e;
  if (l && LookupDrive(l, e) && e.readOnly) {
    SetLastError(ERROR_WRITE_PROTECT);
    return false;
  }
  return true;
}

bool WriteAll(int fd, const void* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::write(fd, static_cast<const char*>(buf) + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

DWORD GetFileAttributesA(const std::string& path) {
  std::string h = Host(path);
  struct stat st{};
  if (h.empty()) return INVALID_FILE_ATTRIBUTES;
  if (stat(h.c_str(), &st) != 0) {
    Fail(errno);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD a = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
  if (!(st.st_mode & S_IWUSR)) a |= FILE_ATTRIBUTE_READONLY;
  return a ? a : FILE_ATTRIBUTE_NORMAL;
}

bool SetFileAttributesA(const std::string& path, DWORD attributes) {
  if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) return false;
  return Writable(path);
}

bool CreateDirectoryA(const std::string& path) {
  std::string h = Host(path);
  if (h.empty() || !Writable(path)) return false;
  if (::mkdir(h.c_str(), 0777) != 0) return Fail(errno);
  return true;
}

bool DeleteFileA(const std::string& path) {
  std::string h = Host(path);
  if (h.empty() || !Writable(path)) return false;
  if (::unlink(h.c_str()) != 0) return Fail(errno);
  return true;
}

bool GetFileSize(const std::string& path, std::uint64_t* size) {
  std::string h = Host(path);
  struct stat st{};
  if (h.empty()) return false;
  if (stat(h.c_str(), &st) != 0) return Fail(errno);
  if (size) *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool ReadFileAt(const std::string& path, std::uint64_t offset, void* buf, DWORD len, DWORD* got) {
  if (got) *got = 0;
  std::string h = Host(path);
  if (h.empty()) return false;
  int fd = ::open(h.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail(errno);
  DWORD done = 0;
  bool ok = true;
  while (done < len) {
    ssize_t n = ::pread(fd, static_cast<char*>(buf) + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = Fail(errno);
      break;
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
  }
  ::close(fd);
  if (got) *got = done;
  return ok;
}

bool WriteFileAtomicAt(const std::string& path, std::uint64_t offset, const void* buf, DWORD len) {
  std::string h = Host(path);
  if (h.empty() || !Writable(path)) return false;
  // The old content, patched in memory.
  std::vector<char> content;
  int in = ::open(h.c_str(), O_RDONLY | O_CLOEXEC);
  if (in >= 0) {
    char chunk[65536];
    for (;;) {
      ssize_t n = ::read(in, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        int e = errno;
        ::close(in);
        return Fail(e);
      }
      if (n == 0) break;
      content.insert(content.end(), chunk, chunk + n);
    }
    ::close(in);
  } else if (errno != ENOENT) {
    return Fail(errno);
  }
  if (content.size() < offset + len) content.resize(offset + len, 0);
  std::copy(static_cast<const char*>(buf), static_cast<const char*>(buf) + len, content.begin() + static_cast<long>(offset));

  auto slash = h.rfind('/');
  std::string dir = slash == std::string::npos ? std::string(".") : h.substr(0, slash);
  std::string tmpl = h + ".XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return Fail(errno);
  bool ok = WriteAll(fd, content.data(), content.size()) && ::fsync(fd) == 0;
  int e = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && ::rename(tmpl.c_str(), h.c_str()) != 0) {
    e = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(tmpl.c_str());
    return Fail(e ? e : EIO);
  }
  // Make the rename itself durable.
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool ProbeWrite(const std::string& folder) {
  std::string h = Host(folder);
  if (h.empty() || !Writable(folder)) return false;
  while (h.size() > 1 && h.back() == '/') h.pop_back();
  std::string tmpl = h + "/.~zp.XXXXXX";
  int fd = ::mkstemp(tmpl.data());
  if (fd < 0) return Fail(errno);
  ::unlink(tmpl.c_str());  // deleted on close
  const char four[4] = {'T', 'E', 'S', 'T'};
  bool ok = WriteAll(fd, four, sizeof four);
  int e = errno;
  ::close(fd);
  return ok ? true : Fail(e);
}

}  // namespace zemir::platform
