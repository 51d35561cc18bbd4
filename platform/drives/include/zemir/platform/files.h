// File operations on Windows paths with the drive map's write protection honoured.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "zemir/platform/win32.h"

namespace zemir::platform {

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr DWORD FILE_ATTRIBUTE_SYSTEM = 0x04;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;

// Every call takes a Windows path ("E:\_zemir\zem.zem") or a host path and leaves a Win32
// code in the last error on failure: 2/3 missing, 5 denied, 19 write-protected drive,
// 183 already exists, 112 disk full.

// Attributes of a file or folder (directory, read-only, else normal); INVALID_FILE_ATTRIBUTES
// when missing. The host file systems have no hidden or system bits: setting them succeeds
// when the file exists on a writable drive and is not recorded.
DWORD GetFileAttributesA(const std::string& path);
bool SetFileAttributesA(const std::string& path, DWORD attributes);
bool CreateDirectoryA(const std::string& path);
bool DeleteFileA(const std::string& path);
bool GetFileSize(const std::string& path, std::uint64_t* size);
// Reads up to `len` bytes at `offset`; *got receives the count (0 at the end of file).
bool ReadFileAt(const std::string& path, std::uint64_t offset, void* buf, DWORD len, DWORD* got);
// Writes `len` bytes at `offset` so that a failed or interrupted write leaves the old file
// intact: the new content goes to a temporary file in the same folder, is flushed to disk
// and renamed over the old one. A missing file is created (zero-filled before `offset`).
bool WriteFileAtomicAt(const std::string& path, std::uint64_t offset, const void* buf, DWORD len);
// The drive's write test: creates a hidden temporary file in the folder, writes 4 bytes
// and deletes it. False when any step fails.
bool ProbeWrite(const std::string& folder);

}  // namespace zemir::platform
