// The service control manager: installed services, a supervisor that starts them detached,
// control requests delivered as signals, and the dispatcher a service process connects with.
//
// Bookkeeping lives in the emulated registry, where Windows keeps its services:
//   HKLM\SYSTEM\CurrentControlSet\Services\<name>          Type, Start, ErrorControl, ImagePath,
//                                                            DisplayName, ObjectName, Group,
//                                                            DependOnService
//   HKLM\SYSTEM\CurrentControlSet\Services\<name>\Status   the running state (see below)
// The Status key holds ServiceStatus (REG_BINARY, the nine 32-bit fields of
// SERVICE_STATUS_PROCESS, little-endian, written in one piece), CurrentState (REG_DWORD, the
// same state for people and scripts), ProcessId (REG_DWORD) and ProcessStartTime (REG_QWORD,
// the kernel's start time of that process, so a reused PID is not taken for the service),
// Token (REG_SZ, the start credential), Connected (REG_DWORD, 1 once the dispatcher accepted
// the start), ControlAck (REG_DWORD, the last control request the service has handled) and
// DeletePending (REG_DWORD, set when a running service is deleted; the key goes when it stops).
//
// Control requests travel as signals, sent with sigqueue so that the value carries the request
// (control code in the top 8 bits, a request number in the low 24):
//   SIGTERM  stop            SIGUSR1  pause          SIGUSR2  continue
//   SIGHUP   interrogate     SIGRTMIN any control code, including user codes 128-255
// A plain kill (systemctl stop, kill -TERM, kill -HUP) is understood the same way; only the
// acknowledgement is skipped because such a signal carries no request number.
#pragma once
#include <string>
#include <vector>

#include "zemir/platform/eventlog.h"  // also GetLastError, SetLastError
#include "zemir/platform/win32.h"

namespace zemir {

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;
struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;

// Service types, start types, error control.
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_BOOT_START = 0;
constexpr DWORD SERVICE_SYSTEM_START = 1;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;
constexpr DWORD SERVICE_ERROR_IGNORE = 0;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;

// Access rights (accepted and kept for the record; the prefix's file permissions decide).
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;

// States.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

// Control codes and the controls a service accepts.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_ACCEPT_STOP = 1;
constexpr DWORD SERVICE_ACCEPT_PAUSE_CONTINUE = 2;
constexpr DWORD SERVICE_ACCEPT_SHUTDOWN = 4;

// Error codes of this area.
constexpr LONG ERROR_INVALID_DATA = 13;
constexpr LONG ERROR_INVALID_NAME = 123;
constexpr LONG ERROR_INVALID_SERVICE_CONTROL = 1052;
constexpr LONG ERROR_SERVICE_REQUEST_TIMEOUT = 1053;
constexpr LONG ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr LONG ERROR_SERVICE_DISABLED = 1058;
constexpr LONG ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr LONG ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061;
constexpr LONG ERROR_SERVICE_NOT_ACTIVE = 1062;
constexpr LONG ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr LONG ERROR_SERVICE_SPECIFIC_ERROR = 1066;
constexpr LONG ERROR_PROCESS_ABORTED = 1067;
constexpr LONG ERROR_SERVICE_MARKED_FOR_DELETE = 1072;
constexpr LONG ERROR_SERVICE_EXISTS = 1073;
constexpr LONG ERROR_DUPLICATE_SERVICE_NAME = 1078;
constexpr LONG ERROR_SERVICE_NOT_IN_EXE = 1083;

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

// ---- The manager's side (the command line that installs, starts, stops, removes) ----

// Null machine name or "" only (the local computer); other names fail with 1722.
SC_HANDLE OpenSCManagerA(const char* machine, const char* database, DWORD access);
// Registers the service. Fails with 1073 when the name exists, 1072 when a service of that
// name waits for deletion, 1078 when another service has the display name, 123 for an empty
// name or one with a slash or backslash. A null account is "LocalSystem"; dependencies are a
// list of NUL-terminated names ended by an empty one.
SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* name, const char* displayName, DWORD access,
                         DWORD serviceType, DWORD startType, DWORD errorControl, const char* binaryPath,
                         const char* loadOrderGroup, DWORD* tagId, const char* dependencies,
                         const char* account, const char* password);
// 1060 when no such service is installed.
SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* name, DWORD access);
BOOL CloseServiceHandle(SC_HANDLE handle);

// The supervisor: starts the service's ImagePath detached from the caller (its own session,
// reparented to init, standard input from /dev/null, output and errors appended to
// <prefix>/services/<name>.out), with the caller's environment plus the start credential and
// an absolute ZEMIR_PREFIX. Returns once the process has connected its dispatcher, as Windows
// does; the service then reports its own progress. 1056 when it runs already, 1058 when
// disabled, 2 when the program is missing, 5 when it cannot be run, 1053 when the process
// ends or does not connect within the start timeout (30 s, or ZEMIR_SCM_START_TIMEOUT_MS).
// `args` (may be null) reach the service's main function after its name.
BOOL StartServiceA(SC_HANDLE service, DWORD argc, const char** args);
// Sends a control request and waits (up to 30 s, or ZEMIR_SCM_CONTROL_TIMEOUT_MS) until the
// service has handled it; `status`
// receives the status afterwards. 1062 when the service is not running, 1061 when it does not
// accept the control now, 1052 for codes that cannot be sent (shutdown, 6-127, above 255).
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
// The last reported status. A service whose process has gone without reporting "stopped"
// is reported stopped with exit code 1067 (and recorded so).
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);
// Removes the service's key; a running service is marked (1072 for later calls) and its key
// goes when it stops.
BOOL DeleteService(SC_HANDLE service);

// ---- The service's side ----

using LPSERVICE_MAIN_FUNCTIONA = void (*)(DWORD argc, char** argv);
using LPHANDLER_FUNCTION = void (*)(DWORD control);
struct SERVICE_TABLE_ENTRYA {
  const char* lpServiceName;
  LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

// Connects the process to the manager and runs the service's main function on a thread of its
// own while this thread receives control requests and calls the registered handler; returns
// TRUE when the service has stopped. The table ends with a null entry. The process connects
// when the supervisor started it (a matching start credential in the environment) or when
// systemd runs it (NOTIFY_SOCKET set; the first table entry is then the service). Run by hand
// it fails with 1063 (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), as on Windows. Call it before
// the process starts other threads: it blocks the control signals for every later thread.
BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table);
// Null with 1083 when `name` is not the service being dispatched.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(const char* name, LPHANDLER_FUNCTION handler);
// Records the status in the registry; under systemd also tells it (READY=1 when running,
// STOPPING=1 when stopping, STATUS= always). 13 for a state outside 1-7.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, const SERVICE_STATUS* status);

// Console control events (Ctrl+C is SIGINT, Ctrl+Break is SIGQUIT here). The handler runs on a
// thread of its own; when it returns FALSE the process ends as the signal would end it. Call
// before the process starts other threads: it blocks both signals for every later thread.
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
using PHANDLER_ROUTINE = BOOL (*)(DWORD event);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

namespace platform {

// The registry key of a service, "SYSTEM\CurrentControlSet\Services\<name>".
std::string ServiceKeyPath(const std::string& name);
// The host program an ImagePath names: quotes removed, a Windows path resolved through the
// drive map, and "path args" cut at the first blank when the whole text is no file; `rest`
// receives the arguments' text.
std::string ServiceProgramPath(const std::string& imagePath, std::string* rest = nullptr);
// The program and its arguments (split at blanks outside double quotes), as started.
std::vector<std::string> ServiceCommandLine(const std::string& imagePath);
// Sends one datagram to systemd's notification socket (NOTIFY_SOCKET; "@name" is an
// abstract socket). False when the variable is unset or the send fails.
bool NotifySystemd(const std::string& message);
// True while `pid` runs and, when startTime is nonzero, started at that kernel time.
bool ProcessAlive(int pid, unsigned long long startTime);
// The kernel's start time of a process (field 22 of /proc/<pid>/stat), 0 when gone.
unsigned long long ProcessStartTime(int pid);

}  // namespace platform

}  // namespace zemir
