// Windows paths on the host: drive letters resolve through the drive map of the prefix.
#pragma once
#include <string>

namespace zemir::platform {

// "C:\dir\file" -> <prefix>/drive_c/dir/file; other letters through SYSTEM\DosDevices.
// Each component matches an existing entry without regard to case. Plain POSIX paths pass
// through unchanged. Returns an empty string when the drive letter is not mapped.
std::string HostPath(const std::string& windowsPath);

}  // namespace zemir::platform
