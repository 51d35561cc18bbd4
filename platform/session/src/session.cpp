// Workstation actions through loginctl, systemctl and xdg-screensaver, or their dry-run record.
#include "zemir/platform/session.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "zemir/platform/prefix.h"

extern char** environ;

namespace zemir {

namespace {

constexpr int kWaitMs = 10000;

bool Listed(const char* list, const std::string& action) {
  if (!list) return false;
  std::string s = list;
  size_t from = 0;
  for (;;) {
    auto comma = s.find(',', from);
    std::string item = s.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    while (!item.empty() && item.back() == ' ') item.pop_back();
    if (item == action) return true;
    if (comma == std::string::npos) return false;
    from = comma + 1;
  }
}

std::string Join(const std::vector<std::string>& argv) {
  std::string s;
  for (const auto& a : argv) {
    if (!s.empty()) s.push_back(' ');
    s += a;
  }
  return s;
}

// Runs the command and waits for it; true when it exits 0 within the bounded wait.
bool RunCommand(const std::vector<std::string>& argv) {
  std::vector<char*> av;
  for (const auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
  av.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, av[0], &fa, &attr, av.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (r < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Records the action in dry run, else runs it.
BOOL Perform(const std::string& action, const std::vector<std::string>& argv) {
  std::string file = platform::SessionDryRunFile();
  if (file.empty()) return RunCommand(argv) ? 1 : 0;
  std::string line = action + "\t" + Join(argv) + "\n";
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ssize_t w = ::write(fd, line.data(), line.size());
    (void)w;
    ::close(fd);
  }
  return Listed(std::getenv("ZEMIR_SESSION_DRYRUN_FAIL"), action) ? 0 : 1;
}

}  // namespace

BOOL LockWorkStation() { return Perform("lock", {"loginctl", "lock-sessions"}); }

BOOL ExitWindowsEx(UINT flags, DWORD) {
  UINT what = flags & ~EWX_FORCE;
  if (what == EWX_LOGOFF) {
    const char* session = std::getenv("XDG_SESSION_ID");
    if (session && *session) return Perform("logoff", {"loginctl", "terminate-session", session});
    return Perform("logoff", {"loginctl", "terminate-seat", "seat0"});
  }
  if (what & EWX_REBOOT) return Perform("reboot", {"systemctl", "reboot"});
  if (what & (EWX_POWEROFF | EWX_SHUTDOWN)) return Perform("poweroff", {"systemctl", "poweroff"});
  return 0;
}

BOOL SetSystemPowerState(BOOL suspend, BOOL force) {
  std::vector<std::string> argv{"systemctl", suspend ? "suspend" : "hibernate"};
  if (force) argv.push_back("--ignore-inhibitors");
  return Perform(suspend ? "suspend" : "hibernate", argv);
}

BOOL StartScreenSaver() { return Perform("screensaver", {"xdg-screensaver", "activate"}); }

BOOL EnableShutdownPrivilege() { return 1; }

namespace platform {

std::string SessionDryRunFile() {
  if (const char* f = std::getenv("ZEMIR_SESSION_DRYRUN"); f && *f) return f;
  // Anything started under the test runner is in dry run, whatever its test forgot to set.
  if (const char* b = std::getenv("ZEMIR_BUILD_BIN"); b && *b) return (Prefix() / "session-dryrun.log").string();
  return {};
}

}  // namespace platform

}  // namespace zemir
