// The input desktop, message boxes raised by library code, and program start.
#pragma once
#include <functional>
#include <string>

#include "zemir/platform/win32.h"

namespace zemir::platform {

// The name of the desktop that receives user input: "WinLogon" when no user session is
// active (the logon screen), "Default" when one is. Sessions are found through systemd-logind
// (/run/systemd/sessions: an active graphical or text session of class user) and, without
// it, through utmp (a user process whose process is alive). An empty text when neither
// source can be read, which callers treat as some other desktop. The environment variable
// ZEMIR_INPUT_DESKTOP, when set, is returned instead (tests and demos).
std::string GetInputDesktopName();

// Message boxes raised by code below the user interface (for example a warning of the key
// layer). The program installs the hook: the console shows the box, the service logs it.
// Without a hook the box is dropped and 0 is returned.
constexpr UINT MB_OK = 0x0;
constexpr UINT MB_ICONWARNING = 0x30;
constexpr UINT MB_ICONERROR = 0x10;
using MessageBoxHook = std::function<int(const std::string& text, const std::string& caption, UINT type)>;
void SetMessageBoxHook(MessageBoxHook hook);
int MessageBoxA(const char* text, const char* caption, UINT type);

// A started program. Move-only; the destructor forgets the process without waiting for it.
class Process {
 public:
  Process() = default;
  explicit Process(int pid) : pid_(pid) {}
  Process(Process&& o) noexcept : pid_(o.pid_) { o.pid_ = 0; }
  Process& operator=(Process&& o) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();
  int pid() const { return pid_; }
  explicit operator bool() const { return pid_ > 0; }
  // True while the process runs (a finished one is reaped).
  bool Running();

 private:
  int pid_ = 0;
};

// Starts the program at a Windows or host path with the given working folder (a Windows or
// host path; empty: the current one), inheriting the caller's descriptors. False with the
// last error set (2 when the program is missing, 5 when it cannot run).
bool CreateProcessA(const std::string& program, const std::string& workDir, Process& out);
// Waits until a started program is ready for input; the host has no such notion, so this
// waits until it runs for at most `ms` (a short settle time). 0 when ready.
DWORD WaitForInputIdle(Process& p, DWORD ms);
// The computer's name (the host name up to its first dot, upper case, at most 15 characters).
std::string GetComputerNameA();

// Sleep; ZEMIR_FAST_SLEEP=1 in the environment makes long waits short (tests).
void Sleep(DWORD ms);

}  // namespace zemir::platform
