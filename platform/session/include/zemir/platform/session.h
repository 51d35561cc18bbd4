// Workstation actions: lock, log off, power off, reboot, hibernate and the screen saver.
//
// Each action runs one command of the session and power managers, started with posix_spawn
// (output to /dev/null) and waited for at most 10 seconds; it succeeds when the command exits 0:
//   lock          loginctl lock-sessions
//   log off       loginctl terminate-session $XDG_SESSION_ID, or loginctl terminate-seat seat0
//   power off     systemctl poweroff        reboot     systemctl reboot
//   hibernate     systemctl hibernate (forced: systemctl hibernate --ignore-inhibitors)
//   screen saver  xdg-screensaver activate
//
// Dry run. With ZEMIR_SESSION_DRYRUN=<file> in the environment nothing is run: each action
// appends one line "<action>\t<command>" to the file and succeeds, unless its name is listed in
// ZEMIR_SESSION_DRYRUN_FAIL (comma-separated, e.g. "logoff,hibernate"), which makes it fail so
// that fallbacks can be exercised. Action names: lock, logoff, poweroff, reboot, hibernate,
// screensaver. As a safety net, a process started by the test runner (ZEMIR_BUILD_BIN set) is
// always in dry run: without ZEMIR_SESSION_DRYRUN it records to
// <prefix>/session-dryrun.log and never touches the machine.
#pragma once
#include <string>

#include "zemir/platform/win32.h"

namespace zemir {

constexpr UINT EWX_LOGOFF = 0x0;
constexpr UINT EWX_SHUTDOWN = 0x1;
constexpr UINT EWX_REBOOT = 0x2;
constexpr UINT EWX_FORCE = 0x4;
constexpr UINT EWX_POWEROFF = 0x8;

// Locks every session of the machine.
BOOL LockWorkStation();
// Log off (EWX_LOGOFF), power off (EWX_POWEROFF or EWX_SHUTDOWN) or reboot (EWX_REBOOT); the
// reason is kept for the record only. False for other flags.
BOOL ExitWindowsEx(UINT flags, DWORD reason);
// Hibernates (suspend false) or suspends (suspend true; systemctl suspend).
BOOL SetSystemPowerState(BOOL suspend, BOOL force);
// Starts the screen saver (the broadcast of the screen-saver system command on Windows).
BOOL StartScreenSaver();
// Enables the shutdown privilege: on this system the session manager decides per call, so
// there is nothing to enable; kept so callers read as they do on Windows. Always true.
BOOL EnableShutdownPrivilege();

namespace platform {

// The file dry-run actions are recorded in; empty when actions are really performed.
std::string SessionDryRunFile();

}  // namespace platform

}  // namespace zemir
