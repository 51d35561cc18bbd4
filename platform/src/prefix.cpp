// Prefix resolution, the running program's path, the user name and local time.
#include "zemir/platform/prefix.h"

#include <pwd.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

namespace zemir::platform {

std::filesystem::path Prefix() {
  if (const char* p = std::getenv("ZEMIR_PREFIX"); p && *p) return std::filesystem::path(p);
  if (geteuid() == 0) return "/var/lib/zemir";
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x) return std::filesystem::path(x) / "zemir";
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    if (passwd* pw = getpwuid(geteuid())) home = pw->pw_dir;
  }
  return std::filesystem::path(home ? home : "/tmp") / ".local/share/zemir";
}

std::filesystem::path DriveC() { return Prefix() / "drive_c"; }

std::string ModulePath() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}

std::string ModuleDir() {
  std::string p = ModulePath();
  auto slash = p.rfind('/');
  return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

std::string CurrentUserName() {
  // Looked up once per effective user: every registry call of the per-user hive asks, and the
  // account database lookup costs a file read (and a name-service request) each time.
  static std::mutex mu;
  static uid_t cachedUid = static_cast<uid_t>(-1);
  static std::string cachedName;
  uid_t uid = geteuid();
  std::lock_guard lk(mu);
  if (uid == cachedUid) return cachedName;
  passwd pw{};
  passwd* res = nullptr;
  char buf[1024];
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &res) == 0 && res && res->pw_name) cachedName = res->pw_name;
  else cachedName = "uid" + std::to_string(uid);
  cachedUid = uid;
  return cachedName;
}

SystemTime GetLocalTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  localtime_r(&ts.tv_sec, &t);
  SystemTime st{};
  st.wYear = static_cast<WORD>(t.tm_year + 1900);
  st.wMonth = static_cast<WORD>(t.tm_mon + 1);
  st.wDayOfWeek = static_cast<WORD>(t.tm_wday);
  st.wDay = static_cast<WORD>(t.tm_mday);
  st.wHour = static_cast<WORD>(t.tm_hour);
  st.wMinute = static_cast<WORD>(t.tm_min);
  st.wSecond = static_cast<WORD>(t.tm_sec);
  st.wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
  return st;
}

}  // namespace zemir::platform
