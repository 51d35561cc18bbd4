// The service's side: the control dispatcher, the handler registration, status reports and
// systemd's readiness notification.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "internal.h"

namespace zemir {

struct SERVICE_STATUS_HANDLE__ {
  int unused;
};

using namespace platform::svc;

namespace {

template <typename T>
T Fail(LONG code, T result) {
  SetLastError(static_cast<DWORD>(code));
  return result;
}

// The one service this process dispatches.
struct Dispatch {
  std::string name;
  bool systemd = false;
  std::mutex mu;
  LPHANDLER_FUNCTION handler = nullptr;
  DWORD lastState = 0;
  bool readySent = false;
  std::atomic<bool> mainDone{false};
  SERVICE_STATUS_HANDLE__ handle{};
};
Dispatch* gDispatch = nullptr;

void SigSet(sigset_t* set) {
  sigemptyset(set);
  for (int s : {SIGTERM, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(set, s);
  sigaddset(set, SIGRTMIN);
}

DWORD ControlForSignal(int sig) {
  switch (sig) {
    case SIGTERM: return SERVICE_CONTROL_STOP;
    case SIGUSR1: return SERVICE_CONTROL_PAUSE;
    case SIGUSR2: return SERVICE_CONTROL_CONTINUE;
    case SIGHUP: return SERVICE_CONTROL_INTERROGATE;
    default: return 0;
  }
}

const char* StateText(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED: return "Stopped";
    case SERVICE_START_PENDING: return "Starting";
    case SERVICE_STOP_PENDING: return "Stopping";
    case SERVICE_RUNNING: return "Running";
    case SERVICE_CONTINUE_PENDING: return "Continuing";
    case SERVICE_PAUSE_PENDING: return "Pausing";
    case SERVICE_PAUSED: return "Paused";
    default: return "Unknown";
  }
}

// Records the handled request so that ControlService returns.
void Acknowledge(unsigned seq) {
  if (!seq) return;
  Key st;
  if (OpenStatusKey(gDispatch->name, st, true) == ERROR_SUCCESS) SetDword(st.get(), "ControlAck", seq);
}

// Checks that the manager started this process for a service of the table; the name found
// is left in `name`.
bool Connect(const SERVICE_TABLE_ENTRYA* table, std::string& name, bool& systemd) {
  const char* svc = std::getenv(kEnvService);
  const char* token = std::getenv(kEnvToken);
  if (svc && *svc) {
    const SERVICE_TABLE_ENTRYA* e = table;
    while (e->lpServiceName && strcasecmp(e->lpServiceName, svc) != 0) ++e;
    if (!e->lpServiceName || !token || !*token) return false;
    Key st;
    if (OpenStatusKey(svc, st, false) != ERROR_SUCCESS) return false;
    auto stored = GetString(st.get(), "Token");
    if (!stored || stored->empty() || *stored != token) return false;
    name = svc;
    systemd = false;
    return true;
  }
  if (const char* ns = std::getenv("NOTIFY_SOCKET"); ns && *ns) {
    name = table->lpServiceName;
    systemd = true;
    return true;
  }
  return false;
}

}  // namespace

BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
  if (!table || !table->lpServiceName || !table->lpServiceProc) return Fail<BOOL>(ERROR_INVALID_PARAMETER, 0);
  if (gDispatch) return Fail<BOOL>(ERROR_SERVICE_ALREADY_RUNNING, 0);
  std::string name;
  bool systemd = false;
  if (!Connect(table, name, systemd)) return Fail<BOOL>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, 0);
  const SERVICE_TABLE_ENTRYA* entry = table;
  while (entry->lpServiceName && strcasecmp(entry->lpServiceName, name.c_str()) != 0) ++entry;

  // The arguments the starter passed, after the service's name.
  std::vector<std::string> args{entry->lpServiceName};
  if (const char* a = std::getenv("ZEMIR_SCM_ARGS"); a && !systemd) {
    std::string s = a;
    size_t from = 0;
    for (;;) {
      auto sep = s.find('\x1f', from);
      args.push_back(s.substr(from, sep == std::string::npos ? std::string::npos : sep - from));
      if (sep == std::string::npos) break;
      from = sep + 1;
    }
  }
  // The credential is for this process only: programs it starts are not services.
  unsetenv(kEnvService);
  unsetenv(kEnvToken);
  unsetenv("ZEMIR_SCM_ARGS");

  static Dispatch dispatch;
  dispatch.name = name;
  dispatch.systemd = systemd;
  gDispatch = &dispatch;

  // Control signals are taken by this thread only: block them here, before the service's
  // thread exists, so every thread inherits the mask.
  sigset_t set;
  SigSet(&set);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);

  {
    Key st;
    if (OpenStatusKey(name, st, true) == ERROR_SUCCESS) {
      SetDword(st.get(), "ProcessId", static_cast<DWORD>(getpid()));
      SetQword(st.get(), "ProcessStartTime", platform::ProcessStartTime(getpid()));
      SetDword(st.get(), "Connected", 1);
    }
  }
  if (systemd) platform::NotifySystemd("MAINPID=" + std::to_string(getpid()));

  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  LPSERVICE_MAIN_FUNCTIONA proc = entry->lpServiceProc;
  std::thread body([&] {
    proc(static_cast<DWORD>(args.size()), argv.data());
    dispatch.mainDone = true;
  });

  while (!dispatch.mainDone) {
    siginfo_t info{};
    timespec wait{0, 100 * 1000 * 1000};
    int sig = sigtimedwait(&set, &info, &wait);
    if (sig < 0) continue;  // timeout or interruption
    DWORD control = ControlForSignal(sig);
    unsigned seq = 0;
    if (info.si_code == SI_QUEUE) {
      auto v = static_cast<unsigned>(info.si_value.sival_int);
      seq = v & 0xFFFFFFu;
      if (sig == SIGRTMIN) control = v >> 24;
    }
    if (!control) continue;  // SIGRTMIN without a request carries no code
    LPHANDLER_FUNCTION handler;
    {
      std::lock_guard lk(dispatch.mu);
      handler = dispatch.handler;
    }
    if (handler) handler(control);
    Acknowledge(seq);
  }
  body.join();

  // A service that returned without reporting its end is recorded as stopped.
  bool reportStop;
  {
    std::lock_guard lk(dispatch.mu);
    reportStop = dispatch.lastState != SERVICE_STOPPED;
  }
  if (reportStop) {
    SERVICE_STATUS s{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    SetServiceStatus(&dispatch.handle, &s);
  }
  return 1;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* name, LPHANDLER_FUNCTION handler) {
  if (!gDispatch || !name || strcasecmp(name, gDispatch->name.c_str()) != 0)
    return Fail<SERVICE_STATUS_HANDLE>(ERROR_SERVICE_NOT_IN_EXE, nullptr);
  if (!handler) return Fail<SERVICE_STATUS_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  std::lock_guard lk(gDispatch->mu);
  gDispatch->handler = handler;
  return &gDispatch->handle;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status) {
  if (!gDispatch || handle != &gDispatch->handle) return Fail<BOOL>(ERROR_INVALID_HANDLE, 0);
  if (!status || status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > SERVICE_PAUSED)
    return Fail<BOOL>(ERROR_INVALID_DATA, 0);
  std::lock_guard lk(gDispatch->mu);
  StatusRecord rec;
  rec.status = *status;
  rec.processId = static_cast<DWORD>(getpid());
  Key st;
  // Under systemd the service may not be installed in the registry; then only systemd hears.
  LONG rc = OpenStatusKey(gDispatch->name, st, true);
  if (rc == ERROR_SUCCESS) rc = WriteStatus(st.get(), rec);
  if (rc != ERROR_SUCCESS && !(gDispatch->systemd && rc == ERROR_FILE_NOT_FOUND)) return Fail<BOOL>(rc, 0);
  gDispatch->lastState = status->dwCurrentState;

  if (gDispatch->systemd) {
    std::string msg = std::string("STATUS=") + StateText(status->dwCurrentState);
    if (status->dwCurrentState == SERVICE_RUNNING && !gDispatch->readySent) {
      msg = "READY=1\n" + msg;
      gDispatch->readySent = true;
    } else if (status->dwCurrentState == SERVICE_STOP_PENDING) {
      msg = "STOPPING=1\n" + msg;
    }
    platform::NotifySystemd(msg);
  }
  if (status->dwCurrentState == SERVICE_STOPPED) {
    st = Key();
    DeleteIfPending(gDispatch->name);
  }
  return 1;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  static std::mutex mu;
  static PHANDLER_ROUTINE current = nullptr;
  static bool started = false;
  std::lock_guard lk(mu);
  if (!add) {
    if (handler == current) current = nullptr;
    return 1;
  }
  if (!handler) return Fail<BOOL>(ERROR_INVALID_PARAMETER, 0);
  current = handler;
  if (started) return 1;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGQUIT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      PHANDLER_ROUTINE h;
      {
        std::lock_guard lk2(mu);
        h = current;
      }
      if (!h || !h(sig == SIGINT ? CTRL_C_EVENT : CTRL_BREAK_EVENT)) std::_Exit(128 + sig);
    }
  }).detach();
  started = true;
  return 1;
}

namespace platform {

bool NotifySystemd(const std::string& message) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (!path || !*path) return false;
  size_t len = std::strlen(path);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (len >= sizeof addr.sun_path || (path[0] != '/' && path[0] != '@')) return false;
  std::memcpy(addr.sun_path, path, len);
  if (path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
  socklen_t alen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ssize_t n = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), alen);
  ::close(fd);
  return n == static_cast<ssize_t>(message.size());
}

}  // namespace platform

}  // namespace zemir
