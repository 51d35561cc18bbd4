// The manager's side: installing, starting (the detached supervisor), controlling, querying and
// deleting services.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "internal.h"
#include "zemir/platform/fs.h"
#include "zemir/platform/prefix.h"

extern char** environ;

namespace zemir {

struct SC_HANDLE__ {
  bool manager;
  std::string name;  // the service's name as installed (services only)
};

using namespace platform::svc;

namespace {

constexpr DWORD kDefaultTimeoutMs = 30000;

// Returns `result` after setting the thread's last error last, so that no cleanup call on the
// way out can change it.
template <typename T>
T Fail(LONG code, T result) {
  SetLastError(static_cast<DWORD>(code));
  return result;
}

DWORD TimeoutFromEnv(const char* var) {
  if (const char* v = std::getenv(var); v && *v) {
    char* end = nullptr;
    unsigned long ms = std::strtoul(v, &end, 10);
    if (end && !*end && ms > 0 && ms <= 600000) return static_cast<DWORD>(ms);
  }
  return kDefaultTimeoutMs;
}

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string RandomToken() {
  unsigned char b[16] = {};
  if (getrandom(b, sizeof b, 0) != static_cast<ssize_t>(sizeof b)) {
    // Fall back to time and PID: the token only tells a started process from a hand-started one.
    auto t = std::chrono::steady_clock::now().time_since_epoch().count();
    std::memcpy(b, &t, sizeof t);
    pid_t p = getpid();
    std::memcpy(b + 8, &p, sizeof p);
  }
  static const char hex[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : b) {
    s.push_back(hex[c >> 4]);
    s.push_back(hex[c & 15]);
  }
  return s;
}

unsigned RandomSeq() {
  unsigned v = 0;
  if (getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v))
    v = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  v &= 0xFFFFFFu;
  return v ? v : 1;
}

// The status with the process checked: a service whose process is gone without reporting
// "stopped" is recorded as stopped with 1067; a marked service is then deleted.
StatusRecord LiveStatus(const std::string& name, HKEY statusKey) {
  StatusRecord rec = ReadStatus(statusKey);
  if (rec.status.dwCurrentState == SERVICE_STOPPED) return rec;
  DWORD pid = GetDword(statusKey, "ProcessId").value_or(0);
  unsigned long long started = GetQword(statusKey, "ProcessStartTime").value_or(0);
  if (pid == 0 || platform::ProcessAlive(static_cast<int>(pid), started)) return rec;
  rec.status.dwCurrentState = SERVICE_STOPPED;
  rec.status.dwControlsAccepted = 0;
  rec.status.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
  rec.status.dwServiceSpecificExitCode = 0;
  rec.status.dwCheckPoint = 0;
  rec.status.dwWaitHint = 0;
  rec.processId = 0;
  WriteStatus(statusKey, rec);
  SetDword(statusKey, "ProcessId", 0);
  SetDword(statusKey, "Connected", 0);
  DeleteIfPending(name);
  return rec;
}

bool ValidName(const char* name) {
  if (!name || !*name || std::strlen(name) > 256) return false;
  return !std::strchr(name, '/') && !std::strchr(name, '\\');
}

// True when another installed service uses `text` as its name or display name.
bool DisplayNameTaken(const std::string& self, const std::string& text) {
  Key services;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, services.out()) != ERROR_SUCCESS) return false;
  std::vector<std::string> names;
  RegListSubkeys(services.get(), names);
  for (const auto& n : names) {
    if (strcasecmp(n.c_str(), self.c_str()) == 0) continue;
    if (strcasecmp(n.c_str(), text.c_str()) == 0) return true;
    Key k;
    if (RegOpenKeyExA(services.get(), n.c_str(), 0, KEY_READ, k.out()) != ERROR_SUCCESS) continue;
    auto dn = GetString(k.get(), "DisplayName");
    if (dn && strcasecmp(dn->c_str(), text.c_str()) == 0) return true;
  }
  return false;
}

// Starts `program` in a new session, detached from the caller: the caller forks a child that
// forks the service and ends at once, so the service is adopted by init (or the nearest
// subreaper) and outlives the caller. Returns the service's PID, or 0 with `err` (an errno).
int SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, const std::string& outFile, int& err) {
  // Everything is prepared before fork: between fork and exec only async-signal-safe calls.
  std::vector<char*> av, ev;
  for (auto& a : args) av.push_back(const_cast<char*>(a.c_str()));
  av.push_back(nullptr);
  for (auto& e : env) ev.push_back(const_cast<char*>(e.c_str()));
  ev.push_back(nullptr);

  int devnull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) out = devnull;
  int pidPipe[2], errPipe[2];
  if (devnull < 0 || pipe2(pidPipe, O_CLOEXEC) != 0) {
    err = errno;
    if (devnull >= 0) ::close(devnull);
    if (out >= 0 && out != devnull) ::close(out);
    return 0;
  }
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    err = errno;
    ::close(pidPipe[0]);
    ::close(pidPipe[1]);
    ::close(devnull);
    if (out != devnull) ::close(out);
    return 0;
  }

  pid_t child = fork();
  if (child == 0) {
    setsid();
    pid_t service = fork();
    if (service != 0) {
      if (service < 0) {
        int e = errno;
        ssize_t w = write(errPipe[1], &e, sizeof e);
        (void)w;
        _exit(1);
      }
      ssize_t w = write(pidPipe[1], &service, sizeof service);
      (void)w;
      _exit(0);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGCHLD}) signal(s, SIG_DFL);
    if (chdir("/") != 0) _exit(127);
    umask(022);
    dup2(devnull, 0);
    dup2(out, 1);
    dup2(out, 2);
    // Close every other descriptor the caller had, except the one that reports exec failures
    // (close-on-exec, so it closes itself when exec succeeds).
    int keep = errPipe[1];
    if (syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) != 0 ||
        syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) != 0) {
      for (int fd = 3; fd < 1024; ++fd)
        if (fd != keep) ::close(fd);
    }
    execve(program.c_str(), av.data(), ev.data());
    int e = errno;
    ssize_t w = write(keep, &e, sizeof e);
    (void)w;
    _exit(127);
  }
  int forkErr = errno;
  ::close(pidPipe[1]);
  ::close(errPipe[1]);
  ::close(devnull);
  if (out != devnull) ::close(out);
  if (child < 0) {
    ::close(pidPipe[0]);
    ::close(errPipe[0]);
    err = forkErr;
    return 0;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  pid_t service = 0;
  ssize_t n;
  while ((n = read(pidPipe[0], &service, sizeof service)) < 0 && errno == EINTR) {
  }
  if (n != static_cast<ssize_t>(sizeof service)) service = 0;
  int execErr = 0;
  while ((n = read(errPipe[0], &execErr, sizeof execErr)) < 0 && errno == EINTR) {
  }
  ::close(pidPipe[0]);
  ::close(errPipe[0]);
  if (n == static_cast<ssize_t>(sizeof execErr)) {
    err = execErr ? execErr : ENOEXEC;
    return 0;
  }
  if (service <= 0) {
    err = ECHILD;
    return 0;
  }
  return service;
}

// The caller's environment for the service, with the prefix made absolute and the start
// credential added; a systemd notification socket of the caller is not handed on.
std::vector<std::string> ServiceEnvironment(const std::string& name, const std::string& token, DWORD argc,
                                            const char** args) {
  std::vector<std::string> env;
  auto drop = [](const char* e) {
    for (const char* v : {"ZEMIR_PREFIX=", "ZEMIR_SCM_SERVICE=", "ZEMIR_SCM_TOKEN=", "ZEMIR_SCM_ARGS=",
                          "NOTIFY_SOCKET=", "LISTEN_FDS=", "LISTEN_PID="})
      if (std::strncmp(e, v, std::strlen(v)) == 0) return true;
    return false;
  };
  for (char** e = environ; e && *e; ++e)
    if (!drop(*e)) env.emplace_back(*e);
  std::error_code ec;
  auto prefix = std::filesystem::absolute(platform::Prefix(), ec);
  env.push_back("ZEMIR_PREFIX=" + (ec ? platform::Prefix() : prefix).string());
  env.push_back(std::string(kEnvService) + "=" + name);
  env.push_back(std::string(kEnvToken) + "=" + token);
  if (argc && args) {
    std::string joined;
    for (DWORD i = 0; i < argc; ++i) {
      if (i) joined.push_back('\x1f');
      joined += args[i] ? args[i] : "";
    }
    env.push_back("ZEMIR_SCM_ARGS=" + joined);
  }
  return env;
}

LONG ErrnoToWin32(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case ENOEXEC: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_PROCESS_ABORTED;
  }
}

bool IsService(SC_HANDLE h) { return h && !h->manager; }

// A transaction on the machine hive, rolled back unless committed. Without one (a hive this
// process may only read) the calls run one by one and the writes fail on their own.
class Batch {
 public:
  Batch() : on_(RegBeginTransaction(HKEY_LOCAL_MACHINE) == ERROR_SUCCESS) {}
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;
  ~Batch() {
    if (on_) RegEndTransaction(HKEY_LOCAL_MACHINE, false);
  }
  LONG Commit() {
    if (!on_) return ERROR_SUCCESS;
    on_ = false;
    return RegEndTransaction(HKEY_LOCAL_MACHINE, true);
  }

 private:
  bool on_;
};

}  // namespace

SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access) {
  if (machine && *machine) return Fail<SC_HANDLE>(RPC_S_SERVER_UNAVAILABLE, nullptr);
  if (database && *database && strcasecmp(database, "ServicesActive") != 0)
    return Fail<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
  Key services;
  bool write = (access & (SC_MANAGER_CREATE_SERVICE | 0xF0000)) != 0;
  LONG rc = write ? RegCreateKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, KEY_ALL_ACCESS, services.out())
                  : RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_READ, services.out());
  if (rc == ERROR_FILE_NOT_FOUND && !write) rc = ERROR_SUCCESS;  // nothing installed yet
  if (rc != ERROR_SUCCESS) return Fail<SC_HANDLE>(rc == ERROR_ACCESS_DENIED ? ERROR_ACCESS_DENIED : rc, nullptr);
  return new SC_HANDLE__{true, {}};
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name, const char* displayName, DWORD, DWORD serviceType,
                         DWORD startType, DWORD errorControl, const char* binaryPath, const char* loadOrderGroup,
                         DWORD* tagId, const char* dependencies, const char* account, const char*) {
  if (!manager || !manager->manager) return Fail<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
  if (!ValidName(name)) return Fail<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
  if (!binaryPath || !*binaryPath || startType > SERVICE_DISABLED)
    return Fail<SC_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  std::string display = displayName && *displayName ? displayName : name;
  {
    Key existing;
    if (OpenServiceKey(name, existing, false) == ERROR_SUCCESS) {
      Key st;
      bool pending = RegOpenKeyExA(existing.get(), kStatusSubkey, 0, KEY_READ, st.out()) == ERROR_SUCCESS &&
                     GetDword(st.get(), "DeletePending").value_or(0) == 1;
      return Fail<SC_HANDLE>(pending ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS, nullptr);
    }
  }
  if (DisplayNameTaken(name, display) || DisplayNameTaken(name, name))
    return Fail<SC_HANDLE>(ERROR_DUPLICATE_SERVICE_NAME, nullptr);

  Key k;
  DWORD disposition = 0;
  LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, platform::ServiceKeyPath(name).c_str(), KEY_ALL_ACCESS, k.out(),
                            &disposition);
  if (rc != ERROR_SUCCESS) return Fail<SC_HANDLE>(rc, nullptr);
  if (disposition != REG_CREATED_NEW_KEY) return Fail<SC_HANDLE>(ERROR_SERVICE_EXISTS, nullptr);  // lost a race
  if (rc == ERROR_SUCCESS) rc = SetDword(k.get(), "Type", serviceType);
  if (rc == ERROR_SUCCESS) rc = SetDword(k.get(), "Start", startType);
  if (rc == ERROR_SUCCESS) rc = SetDword(k.get(), "ErrorControl", errorControl);
  if (rc == ERROR_SUCCESS) rc = SetString(k.get(), "ImagePath", binaryPath, REG_EXPAND_SZ);
  if (rc == ERROR_SUCCESS) rc = SetString(k.get(), "DisplayName", display);
  if (rc == ERROR_SUCCESS) rc = SetString(k.get(), "ObjectName", account && *account ? account : "LocalSystem");
  if (rc == ERROR_SUCCESS && loadOrderGroup && *loadOrderGroup) rc = SetString(k.get(), "Group", loadOrderGroup);
  if (rc == ERROR_SUCCESS && dependencies && *dependencies) {
    const char* p = dependencies;
    while (*p) p += std::strlen(p) + 1;
    rc = RegSetValueExA(k.get(), "DependOnService", REG_MULTI_SZ, reinterpret_cast<const BYTE*>(dependencies),
                        static_cast<DWORD>(p - dependencies + 1));
  }
  // The password is not kept: the service runs as the account that starts it.
  if (rc != ERROR_SUCCESS) {
    k = Key();
    Key services;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_ALL_ACCESS, services.out()) == ERROR_SUCCESS)
      RegDeleteTreeA(services.get(), name);
    return Fail<SC_HANDLE>(rc, nullptr);
  }
  if (tagId) *tagId = 0;
  return new SC_HANDLE__{false, name};
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD) {
  if (!manager || !manager->manager) return Fail<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
  if (!ValidName(name)) return Fail<SC_HANDLE>(ERROR_INVALID_NAME, nullptr);
  Key k;
  LONG rc = OpenServiceKey(name, k, false);
  if (rc == ERROR_FILE_NOT_FOUND) return Fail<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  if (rc != ERROR_SUCCESS) return Fail<SC_HANDLE>(rc, nullptr);
  // Keep the name with the case it was installed with.
  std::string path = RegKeyPath(k.get());
  auto slash = path.rfind('\\');
  return new SC_HANDLE__{false, slash == std::string::npos ? std::string(name) : path.substr(slash + 1)};
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  if (!handle) return Fail<BOOL>(ERROR_INVALID_HANDLE, 0);
  delete handle;
  return 1;
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  if (!IsService(service)) return Fail<BOOL>(ERROR_INVALID_HANDLE, 0);
  if (!status) return Fail<BOOL>(ERROR_INVALID_PARAMETER, 0);
  Key st;
  LONG rc = OpenStatusKey(service->name, st, false);
  if (rc == ERROR_FILE_NOT_FOUND) {
    Key svc;
    if (OpenServiceKey(service->name, svc, false) != ERROR_SUCCESS) return Fail<BOOL>(ERROR_SERVICE_DOES_NOT_EXIST, 0);
  } else if (rc != ERROR_SUCCESS) {
    return Fail<BOOL>(rc, 0);
  }
  *status = LiveStatus(service->name, st.get()).status;
  return 1;
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** args) {
  if (!IsService(service)) return Fail<BOOL>(ERROR_INVALID_HANDLE, 0);
  const std::string& name = service->name;
  std::string image;
  DWORD startType = SERVICE_DEMAND_START;
  {
    Key svc;
    LONG rc = OpenServiceKey(name, svc, false);
    if (rc == ERROR_FILE_NOT_FOUND) return Fail<BOOL>(ERROR_SERVICE_DOES_NOT_EXIST, 0);
    if (rc != ERROR_SUCCESS) return Fail<BOOL>(rc, 0);
    image = GetString(svc.get(), "ImagePath").value_or("");
    startType = GetDword(svc.get(), "Start").value_or(SERVICE_DEMAND_START);
  }
  // The check that the service is stopped and the claim of the start are one transaction, so
  // that of two simultaneous starts one wins and the other finds the service starting.
  Batch batch;
  Key st;
  if (LONG rc = OpenStatusKey(name, st, true)) return Fail<BOOL>(rc, 0);
  if (GetDword(st.get(), "DeletePending").value_or(0) == 1) return Fail<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, 0);
  if (LiveStatus(name, st.get()).status.dwCurrentState != SERVICE_STOPPED)
    return Fail<BOOL>(ERROR_SERVICE_ALREADY_RUNNING, 0);
  if (startType == SERVICE_DISABLED) return Fail<BOOL>(ERROR_SERVICE_DISABLED, 0);
  std::vector<std::string> command = platform::ServiceCommandLine(image);
  std::string program = command.empty() ? std::string() : command[0];
  if (program.empty() || access(program.c_str(), F_OK) != 0) return Fail<BOOL>(ERROR_FILE_NOT_FOUND, 0);
  if (access(program.c_str(), X_OK) != 0) return Fail<BOOL>(ERROR_ACCESS_DENIED, 0);

  // Start pending, owned by this process until the service's PID is known: should this
  // process die before that, the record reads as stopped again.
  std::string token = RandomToken();
  StatusRecord rec;
  rec.status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, kDefaultTimeoutMs};
  LONG rc = SetDword(st.get(), "ProcessId", static_cast<DWORD>(getpid()));
  if (rc == ERROR_SUCCESS) rc = SetQword(st.get(), "ProcessStartTime", platform::ProcessStartTime(getpid()));
  if (rc == ERROR_SUCCESS) rc = SetString(st.get(), "Token", token);
  if (rc == ERROR_SUCCESS) rc = SetDword(st.get(), "Connected", 0);
  if (rc == ERROR_SUCCESS) rc = SetDword(st.get(), "ControlAck", 0);
  if (rc == ERROR_SUCCESS) rc = WriteStatus(st.get(), rec);
  if (rc == ERROR_SUCCESS) rc = batch.Commit();
  if (rc != ERROR_SUCCESS) return Fail<BOOL>(rc, 0);

  auto outDir = platform::Prefix() / "services";
  std::error_code ec;
  std::filesystem::create_directories(outDir, ec);
  int err = 0;
  int pid = SpawnDetached(program, command, ServiceEnvironment(name, token, argc, args),
                          (outDir / (name + ".out")).string(), err);
  auto markStopped = [&](DWORD exitCode) {
    StatusRecord stopped;
    stopped.status = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, exitCode, 0, 0, 0};
    WriteStatus(st.get(), stopped);
    SetDword(st.get(), "ProcessId", 0);
    SetString(st.get(), "Token", "");
  };
  if (pid <= 0) {
    LONG code = ErrnoToWin32(err);
    markStopped(static_cast<DWORD>(code));
    return Fail<BOOL>(code, 0);
  }
  unsigned long long started = platform::ProcessStartTime(pid);
  SetDword(st.get(), "ProcessId", static_cast<DWORD>(pid));
  SetQword(st.get(), "ProcessStartTime", started);

  // Wait until the process connects its dispatcher, ends, or the start timeout passes.
  const DWORD timeout = TimeoutFromEnv("ZEMIR_SCM_START_TIMEOUT_MS");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  for (;;) {
    if (GetDword(st.get(), "Connected").value_or(0) == 1) return 1;
    if (!platform::ProcessAlive(pid, started)) {
      if (GetDword(st.get(), "Connected").value_or(0) == 1) return 1;  // connected and already done
      markStopped(ERROR_PROCESS_ABORTED);
      return Fail<BOOL>(ERROR_SERVICE_REQUEST_TIMEOUT, 0);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      markStopped(ERROR_SERVICE_REQUEST_TIMEOUT);
      return Fail<BOOL>(ERROR_SERVICE_REQUEST_TIMEOUT, 0);
    }
    SleepMs(10);
  }
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  if (!IsService(service)) return Fail<BOOL>(ERROR_INVALID_HANDLE, 0);
  if (!status) return Fail<BOOL>(ERROR_INVALID_PARAMETER, 0);
  bool standard = control >= SERVICE_CONTROL_STOP && control <= SERVICE_CONTROL_INTERROGATE;
  if (!standard && (control < 128 || control > 255)) return Fail<BOOL>(ERROR_INVALID_SERVICE_CONTROL, 0);
  const std::string& name = service->name;
  Key st;
  if (LONG rc = OpenStatusKey(name, st, false)) {
    if (rc != ERROR_FILE_NOT_FOUND) return Fail<BOOL>(rc, 0);
    Key svc;
    if (OpenServiceKey(name, svc, false) != ERROR_SUCCESS) return Fail<BOOL>(ERROR_SERVICE_DOES_NOT_EXIST, 0);
    status->dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status->dwCurrentState = SERVICE_STOPPED;
    status->dwControlsAccepted = status->dwWin32ExitCode = status->dwServiceSpecificExitCode = 0;
    status->dwCheckPoint = status->dwWaitHint = 0;
    return Fail<BOOL>(ERROR_SERVICE_NOT_ACTIVE, 0);
  }
  StatusRecord rec = LiveStatus(name, st.get());
  *status = rec.status;
  if (rec.status.dwCurrentState == SERVICE_STOPPED) return Fail<BOOL>(ERROR_SERVICE_NOT_ACTIVE, 0);
  DWORD accepted = rec.status.dwControlsAccepted;
  bool connected = GetDword(st.get(), "Connected").value_or(0) == 1;
  bool allowed = connected;
  if (control == SERVICE_CONTROL_STOP) allowed = allowed && (accepted & SERVICE_ACCEPT_STOP);
  if (control == SERVICE_CONTROL_PAUSE || control == SERVICE_CONTROL_CONTINUE)
    allowed = allowed && (accepted & SERVICE_ACCEPT_PAUSE_CONTINUE);
  if (!allowed) return Fail<BOOL>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 0);

  DWORD pid = GetDword(st.get(), "ProcessId").value_or(0);
  unsigned long long started = GetQword(st.get(), "ProcessStartTime").value_or(0);
  unsigned seq = RandomSeq();
  sigval value{};
  value.sival_int = static_cast<int>(RequestValue(control, seq));
  if (pid == 0 || sigqueue(static_cast<pid_t>(pid), SignalFor(control), value) != 0) {
    int e = errno;
    return Fail<BOOL>(pid == 0 || e == ESRCH ? ERROR_SERVICE_NOT_ACTIVE : ERROR_ACCESS_DENIED, 0);
  }
  // Wait until the service has run its handler for this request.
  const DWORD timeout = TimeoutFromEnv("ZEMIR_SCM_CONTROL_TIMEOUT_MS");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  for (;;) {
    if (GetDword(st.get(), "ControlAck").value_or(0) == seq) break;
    if (!platform::ProcessAlive(static_cast<int>(pid), started)) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      *status = LiveStatus(name, st.get()).status;
      return Fail<BOOL>(ERROR_SERVICE_REQUEST_TIMEOUT, 0);
    }
    SleepMs(5);
  }
  *status = LiveStatus(name, st.get()).status;
  return 1;
}

BOOL DeleteService(SC_HANDLE service) {
  if (!IsService(service)) return Fail<BOOL>(ERROR_INVALID_HANDLE, 0);
  const std::string& name = service->name;
  Key svc;
  if (OpenServiceKey(name, svc, true) != ERROR_SUCCESS) return Fail<BOOL>(ERROR_SERVICE_DOES_NOT_EXIST, 0);
  Key st;
  if (RegOpenKeyExA(svc.get(), kStatusSubkey, 0, KEY_ALL_ACCESS, st.out()) == ERROR_SUCCESS) {
    if (GetDword(st.get(), "DeletePending").value_or(0) == 1) return Fail<BOOL>(ERROR_SERVICE_MARKED_FOR_DELETE, 0);
    if (LiveStatus(name, st.get()).status.dwCurrentState != SERVICE_STOPPED) {
      LONG rc = SetDword(st.get(), "DeletePending", 1);
      if (rc != ERROR_SUCCESS) return Fail<BOOL>(rc, 0);
      return 1;
    }
  }
  st = Key();
  svc = Key();
  Key services;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_ALL_ACCESS, services.out());
  if (rc == ERROR_SUCCESS) rc = RegDeleteTreeA(services.get(), name.c_str());
  if (rc != ERROR_SUCCESS) return Fail<BOOL>(rc, 0);
  return 1;
}

namespace platform {

std::string ServiceProgramPath(const std::string& imagePath, std::string* rest) {
  std::string p = imagePath;
  while (!p.empty() && (p.back() == ' ' || p.back() == '\t')) p.pop_back();
  size_t b = p.find_first_not_of(" \t");
  p = b == std::string::npos ? std::string() : p.substr(b);
  if (rest) rest->clear();
  if (p.empty()) return {};
  if (p[0] == '"') {
    auto close = p.find('"', 1);
    if (rest && close != std::string::npos) *rest = p.substr(close + 1);
    return HostPath(p.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  }
  std::string whole = HostPath(p);
  struct stat sb{};
  if (!whole.empty() && stat(whole.c_str(), &sb) == 0) return whole;
  auto blank = p.find(' ');
  if (blank == std::string::npos) return whole;
  if (rest) *rest = p.substr(blank + 1);
  return HostPath(p.substr(0, blank));
}

std::vector<std::string> ServiceCommandLine(const std::string& imagePath) {
  std::string rest;
  std::string program = ServiceProgramPath(imagePath, &rest);
  if (program.empty()) return {};
  std::vector<std::string> argv{program};
  std::string cur;
  bool quoted = false, any = false;
  for (char c : rest) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (any) argv.push_back(cur);
      cur.clear();
      any = false;
    } else {
      cur.push_back(c);
      any = true;
    }
  }
  if (any) argv.push_back(cur);
  return argv;
}

unsigned long long ProcessStartTime(int pid) {
  if (pid <= 0) return 0;
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(f, line)) return 0;
  auto close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(line.substr(close + 1));
  std::string field;
  // After the command come the state (field 3) and the others; the start time is field 22.
  for (int i = 3; i <= 22; ++i) {
    if (!(rest >> field)) return 0;
    if (i == 3 && (field == "Z" || field == "X" || field == "x")) return 0;  // gone, not yet reaped
  }
  return std::strtoull(field.c_str(), nullptr, 10);
}

bool ProcessAlive(int pid, unsigned long long startTime) {
  unsigned long long now = ProcessStartTime(pid);
  if (now == 0) return false;
  return startTime == 0 || now == startTime;
}

}  // namespace platform

}  // namespace zemir
