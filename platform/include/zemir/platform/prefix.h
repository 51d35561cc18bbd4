// The prefix: the one folder that holds everything a running system keeps on disk.
#pragma once
#include <filesystem>
#include <string>

#include "zemir/platform/win32.h"

namespace zemir::platform {

// ZEMIR_PREFIX, else /var/lib/zemir for root, else $XDG_DATA_HOME/zemir (~/.local/share/zemir).
std::filesystem::path Prefix();
// The drive C: folder of the prefix.
std::filesystem::path DriveC();
// Full host path of the running program, and its folder.
std::string ModulePath();
std::string ModuleDir();
// The name of the user the process runs as (for the per-user hive).
std::string CurrentUserName();

struct SystemTime {
  WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
// Local time with milliseconds (GetLocalTime).
SystemTime GetLocalTime();

}  // namespace zemir::platform
