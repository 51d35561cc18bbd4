// Input desktop from the login sessions, the message-box hook, posix_spawn for programs.
#include "zemir/platform/desktop.h"

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utmpx.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "zemir/platform/fs.h"
#include "zemir/platform/module.h"

extern char** environ;

namespace zemir::platform {

namespace {

std::mutex gHookMu;
MessageBoxHook gHook;

// 1: a user session is active, 0: none, -1: the session folder cannot be read.
int LogindHasActiveSession() {
  const char* dir = "/run/systemd/sessions";
  DIR* d = opendir(dir);
  if (!d) return -1;
  int found = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.' || std::strchr(e->d_name, '.')) continue;  // skip ".ref" files
    std::ifstream f(std::string(dir) + "/" + e->d_name);
    std::string line;
    bool active = false, user = false, seat = false;
    while (std::getline(f, line)) {
      if (line == "ACTIVE=1") active = true;
      if (line == "CLASS=user") user = true;
      if (line == "TYPE=x11" || line == "TYPE=wayland" || line == "TYPE=tty" || line == "TYPE=mir") seat = true;
    }
    if (active && user && seat) {
      found = 1;
      break;
    }
  }
  closedir(d);
  return found;
}

// Same answer from utmp; -1 when utmp cannot be read.
int UtmpHasActiveSession() {
  struct stat st{};
  if (stat("/var/run/utmp", &st) != 0 && stat("/run/utmp", &st) != 0) return -1;
  int found = 0;
  setutxent();
  while (utmpx* u = getutxent()) {
    if (u->ut_type != USER_PROCESS || u->ut_user[0] == 0) continue;
    if (u->ut_pid > 0 && (kill(u->ut_pid, 0) == 0 || errno == EPERM)) {
      found = 1;
      break;
    }
  }
  endutxent();
  return found;
}

}  // namespace

std::string GetInputDesktopName() {
  if (const char* o = std::getenv("ZEMIR_INPUT_DESKTOP")) return o;
  int r = LogindHasActiveSession();
  if (r < 0) r = UtmpHasActiveSession();
  if (r < 0) return {};
  return r ? "Default" : "WinLogon";
}

void SetMessageBoxHook(MessageBoxHook hook) {
  std::lock_guard<std::mutex> lock(gHookMu);
  gHook = std::move(hook);
}

int MessageBoxA(const char* text, const char* caption, UINT type) {
  MessageBoxHook h;
  {
    std::lock_guard<std::mutex> lock(gHookMu);
    h = gHook;
  }
  if (!h) return 0;
  return h(text ? text : "", caption ? caption : "", type);
}

Process& Process::operator=(Process&& o) noexcept {
  if (this != &o) {
    pid_ = o.pid_;
    o.pid_ = 0;
  }
  return *this;
}

Process::~Process() = default;

bool Process::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  if (r == pid_) pid_ = -pid_;  // reaped; keep the number for logs
  return false;
}

bool CreateProcessA(const std::string& program, const std::string& workDir, Process& out) {
  std::string path = HostPath(program);
  struct stat st{};
  if (path.empty() || stat(path.c_str(), &st) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return false;
  }
  if (access(path.c_str(), X_OK) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  std::string dir = workDir.empty() ? std::string() : HostPath(workDir);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  char* argv[] = {path.data(), nullptr};
  pid_t pid = 0;
  int rc = posix_spawn(&pid, path.c_str(), &fa, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    SetLastError(rc == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    return false;
  }
  out = Process(pid);
  return true;
}

DWORD WaitForInputIdle(Process& p, DWORD ms) {
  DWORD settle = ms < 100 ? ms : 100;
  Sleep(settle);
  return p.Running() || p.pid() != 0 ? 0 : 0xFFFFFFFFu;
}

std::string GetComputerNameA() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return {};
  std::string n = buf;
  if (auto dot = n.find('.'); dot != std::string::npos) n.resize(dot);
  if (n.size() > 15) n.resize(15);
  for (char& c : n) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return n;
}

void Sleep(DWORD ms) {
  if (const char* f = std::getenv("ZEMIR_FAST_SLEEP"); f && *f == '1' && ms > 10) ms = 10;
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace zemir::platform
