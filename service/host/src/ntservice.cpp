// The service frame CNTService: command line, installation, the manager's callbacks, event log.
#include "zemir/service/ntservice.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "zemir/common/trace.h"
#include "zemir/platform/eventlog.h"
#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"
#include "zemir/platform/session.h"

namespace zemir {

CNTService* CNTService::instance_ = nullptr;

namespace {

constexpr const char* kEventLogApplication = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
constexpr DWORD kShutdownReason = 16;
constexpr DWORD kErrorTextSize = 256;

void SleepMs(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

using RegKey = ScopedKey;

// The strings of a REG_MULTI_SZ value; a missing terminator ends the last string.
std::vector<std::string> ReadMultiString(HKEY key, const char* name) {
  std::vector<std::string> out;
  DWORD type = 0, cb = 0;
  if (RegQueryValueExA(key, name, &type, nullptr, &cb) != ERROR_SUCCESS || type != REG_MULTI_SZ || cb == 0) return out;
  std::vector<char> buf(cb + 2, 0);
  if (RegQueryValueExA(key, name, &type, reinterpret_cast<BYTE*>(buf.data()), &cb) != ERROR_SUCCESS) return out;
  size_t i = 0;
  while (i < cb) {
    size_t len = strnlen(buf.data() + i, cb - i);
    if (len == 0) break;
    out.emplace_back(buf.data() + i, len);
    i += len + 1;
  }
  return out;
}

LONG WriteMultiString(HKEY key, const char* name, const std::vector<std::string>& list) {
  std::string data;
  for (const auto& s : list) {
    data += s;
    data.push_back('\0');
  }
  data.push_back('\0');
  return RegSetValueExA(key, name, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                        static_cast<DWORD>(data.size()));
}

}  // namespace

char* SystemErrorText(char* buf, DWORD size) {
  DWORD code = GetLastError();
  if (!buf || size == 0) return buf;
  std::string msg = FormatSystemMessage(code);
  if (msg.empty() || static_cast<long>(size) < static_cast<long>(msg.size()) + 14) {
    buf[0] = '\0';
  } else {
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r')) msg.pop_back();
    std::snprintf(buf, size, "%s", msg.c_str());
  }
  SetLastError(code);
  return buf;
}

CNTService::CNTService(const char* serviceName, const char* displayName)
    : serviceName_(serviceName ? serviceName : ""),
      displayName_(displayName && *displayName ? displayName : serviceName_) {
  instance_ = this;
  status_.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status_.dwCurrentState = SERVICE_STOPPED;
  // The platform is of the NT family; the account's SID becomes the user of event reports.
  ntPlatform_ = true;
  std::string sid;
  if (LookupAccountSidText(platform::CurrentUserName(), &sid)) userSid_ = sid;
}

CNTService::~CNTService() {
  if (instance_ == this) instance_ = nullptr;
}

DWORD CNTService::currentState() const {
  std::lock_guard lk(statusMutex_);
  return status_.dwCurrentState;
}

void CNTService::OpenConsole() {
  if (consoleOpen_) return;
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  consoleOpen_ = true;
}

void CNTService::RunWorkstationSwitch(char c) {
  switch (c) {
    case 'A':
      Trace("Started with 'A' (Lock Workstation)");
      LockWorkStation();
      break;
    case 'B':
      Trace("Started with 'B' (Log Off)");
      EnableShutdownPrivilege();
      if (!ExitWindowsEx(EWX_LOGOFF, kShutdownReason)) LockWorkStation();
      break;
    case 'C':
      Trace("Started with 'C' (Shut Down)");
      EnableShutdownPrivilege();
      if (!ExitWindowsEx(EWX_POWEROFF, kShutdownReason)) LockWorkStation();
      break;
    case 'D':
      Trace("Started with 'D' (...)");
      if (!SetSystemPowerState(0, 1)) {
        EnableShutdownPrivilege();
        if (!SetSystemPowerState(0, 1)) LockWorkStation();
      }
      break;
    case 'E':
      Trace("Started with 'E' (Screen Saver)");
      LockWorkStation();
      SleepMs(500);
      StartScreenSaver();
      break;
    case 'X':
      Trace("Started with 'X' (Time Expired. Locking WorckStation)");
      LockWorkStation();
      break;
    default:
      break;
  }
}

BOOL CNTService::ParseCommandLine(int argc, char** argv) {
  char choice = 0;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!a || a[0] != '-') continue;
    switch (a[1]) {
      case 'i':
      case 'u':
      case 's':
      case 'e':
        choice = a[1];  // the last one given wins
        break;
      default:
        RunWorkstationSwitch(a[1]);
        break;
    }
  }
  switch (choice) {
    case 'i': return Install();
    case 'u': return Uninstall();
    case 's': return StartInstalled();
    case 'e': return StopInstalled();
    default: break;
  }
  return ntPlatform_ ? RunDispatcher() : RunWithoutManager();
}

BOOL CNTService::RunDispatcher() {
  SERVICE_TABLE_ENTRYA table[] = {{serviceName_.c_str(), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherA(table)) {
    char text[kErrorTextSize];
    DWORD code = GetLastError();
    SystemErrorText(text, sizeof text);
    SetLastError(code);
    LogEvent(text, EVENTLOG_ERROR_TYPE, static_cast<DWORD>(-1));
    return 0;
  }
  return 1;
}

BOOL CNTService::RunWithoutManager() {
  withoutManager_ = true;
  SetConsoleCtrlHandler(
      [](DWORD event) -> BOOL {
        if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return 0;
        CNTService* s = instance_;
        if (!s) return 0;
        std::printf("Stopping %s.\n", s->displayName_.c_str());
        s->Stop();
        return 1;
      },
      1);
  char name[260];
  std::snprintf(name, sizeof name, "%s", serviceName_.c_str());
  char* args[] = {name, nullptr};
  Run(1, args);
  return 1;
}

void CNTService::ServiceMain(DWORD argc, char** argv) {
  CNTService* s = instance_;
  if (!s) return;
  s->statusHandle_ = RegisterServiceCtrlHandlerA(s->serviceName_.c_str(), ControlHandler);
  if (s->statusHandle_ && s->SetStatus(SERVICE_START_PENDING, 3000)) s->Run(argc, argv);
  if (s->statusHandle_) s->SetStatus(SERVICE_STOPPED, 3000);
}

void CNTService::ControlHandler(DWORD control) {
  CNTService* s = instance_;
  if (!s) return;
  auto record = [s](DWORD state) {
    std::lock_guard lk(s->statusMutex_);
    s->status_.dwCurrentState = state;
  };
  switch (control) {
    case SERVICE_CONTROL_STOP:
      record(SERVICE_STOP_PENDING);
      s->Stop();
      break;
    case SERVICE_CONTROL_PAUSE:
      record(SERVICE_PAUSE_PENDING);
      s->Pause();
      break;
    case SERVICE_CONTROL_CONTINUE:
      record(SERVICE_CONTINUE_PENDING);
      s->Continue();
      break;
    case SERVICE_CONTROL_INTERROGATE:
      s->SetStatus(s->currentState(), 3000);
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      s->Shutdown();
      break;
    default:
      if (control >= 128) s->OnUserControl(control);
      break;
  }
}

BOOL CNTService::SetStatus(DWORD state, DWORD waitHint, DWORD serviceExitCode) {
  if (withoutManager_) return 1;
  BOOL ok;
  {
    std::lock_guard lk(statusMutex_);
    status_.dwCurrentState = state;
    status_.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : controlsAccepted_;
    status_.dwWin32ExitCode = serviceExitCode ? ERROR_SERVICE_SPECIFIC_ERROR : 0;
    status_.dwServiceSpecificExitCode = serviceExitCode;
    status_.dwCheckPoint = (state == SERVICE_RUNNING || state == SERVICE_STOPPED) ? 0 : ++checkPoint_;
    status_.dwWaitHint = waitHint;
    ok = SetServiceStatus(statusHandle_, &status_);
  }
  if (!ok) LogEvent("SetServiceStatus() failed", EVENTLOG_ERROR_TYPE, static_cast<DWORD>(-1));
  return ok;
}

void CNTService::LogEvent(const char* text, WORD type, DWORD eventId) {
  lastError_ = GetLastError();
  if (eventId == static_cast<DWORD>(-1)) {
    eventId = type == EVENTLOG_ERROR_TYPE ? 0xC0000002u : type == EVENTLOG_WARNING_TYPE ? 0x80000001u : 0x40000000u;
  }
  HANDLE_EVENTSOURCE source = RegisterEventSourceA(nullptr, serviceName_.c_str());
  if (!source) return;
  const char* strings[1] = {text ? text : ""};
  ReportEventA(source, type, 0, eventId, userSid_.empty() ? nullptr : userSid_.c_str(), 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

BOOL CNTService::RegisterEventSourceKey(const char* messageFile, DWORD types) {
  std::string key = std::string(kEventLogApplication) + "\\" + serviceName_;
  {
    RegKey k;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), KEY_ALL_ACCESS, &k.h) != ERROR_SUCCESS) return 0;
    std::string file = messageFile ? messageFile : "";
    RegSetValueExA(k.h, "EventMessageFile", REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                   static_cast<DWORD>(file.size() + 1));
    RegSetValueExA(k.h, "TypesSupported", REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
  }
  RegKey app;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventLogApplication, 0, KEY_ALL_ACCESS, &app.h) != ERROR_SUCCESS) return 0;
  std::vector<std::string> sources = ReadMultiString(app.h, "Sources");
  for (const auto& s : sources)
    if (s == serviceName_) return 1;
  sources.push_back(serviceName_);
  return WriteMultiString(app.h, "Sources", sources) == ERROR_SUCCESS;
}

void CNTService::UnregisterEventSourceKey() {
  RegKey app;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventLogApplication, 0, KEY_ALL_ACCESS, &app.h) != ERROR_SUCCESS) return;
  RegDeleteTreeA(app.h, serviceName_.c_str());
  std::vector<std::string> sources = ReadMultiString(app.h, "Sources");
  std::vector<std::string> kept;
  for (const auto& s : sources)
    if (s != serviceName_) kept.push_back(s);
  if (kept.size() != sources.size()) WriteMultiString(app.h, "Sources", kept);
}

BOOL CNTService::Install() {
  OpenConsole();
  char err[kErrorTextSize];
  std::string module = platform::ModulePath();
  if (module.empty() || module.size() > 1023) {
    SetLastError(module.empty() ? ERROR_FILE_NOT_FOUND : ERROR_INSUFFICIENT_BUFFER);
    std::printf("Unable to install %s - %s\n", displayName_.c_str(), SystemErrorText(err, sizeof err));
    return 0;
  }
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!scm) {
    std::printf("OpenSCManager failed - %s\n", SystemErrorText(err, sizeof err));
    return 0;
  }
  SC_HANDLE svc = CreateServiceA(scm, serviceName_.c_str(), displayName_.c_str(), create_.desiredAccess,
                                 create_.serviceType, create_.startType, create_.errorControl, module.c_str(),
                                 create_.loadOrderGroup, create_.tagId, create_.dependencies, create_.account,
                                 create_.password);
  if (!svc) {
    std::printf("CreateService failed - %s\n", SystemErrorText(err, sizeof err));
    CloseServiceHandle(scm);
    return 0;
  }
  std::printf("%s installed.\n", displayName_.c_str());
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  RegisterEventSourceKey(module.c_str(), 7);
  LogEvent("Service installed", EVENTLOG_INFORMATION_TYPE, static_cast<DWORD>(-1));
  return 1;
}

void CNTService::PollWhile(SC_HANDLE service, DWORD pending, SERVICE_STATUS& status) {
  // A service that stays pending is given up on after maxPolls_ polls rather than waited for
  // without end: the caller (the console) waits for this program with a time limit.
  for (DWORD polls = 0;; ++polls) {
    SleepMs(pollIntervalMs_);
    if (!QueryServiceStatus(service, &status)) return;
    if (status.dwCurrentState != pending || polls + 1 >= maxPolls_) return;
    std::printf(".");
  }
}

bool CNTService::StopService(SC_HANDLE service, bool& accepted) {
  SERVICE_STATUS status{};
  accepted = ControlService(service, SERVICE_CONTROL_STOP, &status) != 0;
  if (!accepted) return false;
  std::printf("Stopping %s.", displayName_.c_str());
  PollWhile(service, SERVICE_STOP_PENDING, status);
  if (status.dwCurrentState == SERVICE_STOPPED) {
    std::printf("\n%s stopped.\n", displayName_.c_str());
    return true;
  }
  std::printf("\n%s failed to stop.\n", displayName_.c_str());
  return false;
}

namespace {

// Opens the service manager and the installed service with full access, printing a failure
// the way the command line reports it; false (nothing left open) when either open failed.
bool OpenInstalledService(const std::string& name, SC_HANDLE& scm, SC_HANDLE& svc) {
  char err[kErrorTextSize];
  scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!scm) {
    std::printf("OpenSCManager failed - %s\n", SystemErrorText(err, sizeof err));
    return false;
  }
  svc = OpenServiceA(scm, name.c_str(), SERVICE_ALL_ACCESS);
  if (!svc) {
    std::printf("OpenService failed - %s\n", SystemErrorText(err, sizeof err));
    CloseServiceHandle(scm);
    scm = nullptr;
    return false;
  }
  return true;
}

}  // namespace

BOOL CNTService::Uninstall() {
  OpenConsole();
  char err[kErrorTextSize];
  SC_HANDLE scm = nullptr, svc = nullptr;
  if (!OpenInstalledService(serviceName_, scm, svc)) return 0;
  bool accepted = false;
  StopService(svc, accepted);
  BOOL removed = DeleteService(svc);
  if (removed) std::printf("%s removed.\n", displayName_.c_str());
  else std::printf("DeleteService failed - %s\n", SystemErrorText(err, sizeof err));
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  if (removed) UnregisterEventSourceKey();
  return removed ? 1 : 0;
}

BOOL CNTService::StopInstalled() {
  OpenConsole();
  SC_HANDLE scm = nullptr, svc = nullptr;
  if (!OpenInstalledService(serviceName_, scm, svc)) return 0;
  bool accepted = false;
  bool stopped = StopService(svc, accepted);
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return stopped ? 1 : 0;
}

BOOL CNTService::StartInstalled() {
  OpenConsole();
  char err[kErrorTextSize];
  SC_HANDLE scm = nullptr, svc = nullptr;
  if (!OpenInstalledService(serviceName_, scm, svc)) return 0;
  std::printf("Starting up %s.", displayName_.c_str());
  BOOL started = 0;
  if (!StartServiceA(svc, 0, nullptr)) {
    std::printf("\n%s failed to start: %s\n", displayName_.c_str(), SystemErrorText(err, sizeof err));
  } else {
    SERVICE_STATUS status{};
    PollWhile(svc, SERVICE_START_PENDING, status);
    if (status.dwCurrentState == SERVICE_RUNNING) {
      std::printf("\n%s started.\n", displayName_.c_str());
      started = 1;
    } else {
      std::printf("\n%s failed to start.\n", displayName_.c_str());
    }
  }
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return started;
}

}  // namespace zemir
