// Event-log reports to syslog and the prefix's Application log; account SIDs; message texts.
#include "zemir/platform/eventlog.h"

#include <fcntl.h>
#include <pwd.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <mutex>

#include "zemir/platform/prefix.h"

namespace zemir {

struct EVENTSOURCE__ {
  std::string name;
};

namespace {

constexpr LONG ERROR_MR_MID_NOT_FOUND = 317;

const char* TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return "Error";
    case EVENTLOG_WARNING_TYPE: return "Warning";
    case EVENTLOG_AUDIT_SUCCESS: return "Audit Success";
    case EVENTLOG_AUDIT_FAILURE: return "Audit Failure";
    default: return "Information";
  }
}

int SyslogPriority(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE: return LOG_ERR;
    case EVENTLOG_WARNING_TYPE: return LOG_WARNING;
    case EVENTLOG_AUDIT_SUCCESS:
    case EVENTLOG_AUDIT_FAILURE: return LOG_NOTICE;
    default: return LOG_INFO;
  }
}

// One line of the log file: no tabs or line breaks inside a field.
std::string Flatten(const char* s) {
  std::string out = s ? s : "";
  for (auto& c : out)
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  return out;
}

// syslog keeps the identifier pointer, so reports are made one at a time with a stable copy.
std::mutex gSyslogMutex;

}  // namespace

HANDLE_EVENTSOURCE RegisterEventSourceA(const char* server, const char* source) {
  if (server && *server) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (!source || !*source) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return new EVENTSOURCE__{source};
}

BOOL DeregisterEventSource(HANDLE_EVENTSOURCE source) {
  if (!source) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  delete source;
  return 1;
}

BOOL ReportEventA(HANDLE_EVENTSOURCE source, WORD type, WORD category, DWORD eventId, const char* userSid,
                  WORD numStrings, DWORD dataSize, const char** strings, const void* data) {
  if (!source || (numStrings && !strings)) {
    SetLastError(source ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return 0;
  }
  std::string text;
  for (WORD i = 0; i < numStrings; ++i) {
    if (i) text += " | ";
    text += Flatten(strings[i]);
  }
  {
    std::lock_guard lk(gSyslogMutex);
    static std::string ident;
    ident = source->name;
    openlog(ident.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
    syslog(SyslogPriority(type), "%s (event 0x%08X)", text.c_str(), static_cast<unsigned>(eventId));
    closelog();
  }

  time_t now = time(nullptr);
  tm t{};
  localtime_r(&now, &t);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &t);
  char id[16];
  snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(eventId));
  std::string line = std::string(stamp) + "\t" + Flatten(source->name.c_str()) + "\t" + TypeName(type) + "\t" + id +
                     "\t" + Flatten(userSid) + "\t" + text;
  if (category) line += "\t(category " + std::to_string(category) + ")";
  if (dataSize && data) line += "\t(" + std::to_string(dataSize) + " bytes of data)";
  line += "\n";

  auto dir = platform::Prefix() / "eventlog";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  int fd = ::open((dir / "Application.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    // One write of the whole line to a file opened for appending: reports never interleave.
    ssize_t w = ::write(fd, line.data(), line.size());
    (void)w;
    ::close(fd);
  }
  // syslog without a daemon loses the report silently, as the event log never fails its caller.
  return 1;
}

bool LookupAccountSidText(const std::string& account, std::string* sid) {
  passwd pw{};
  passwd* res = nullptr;
  char buf[2048];
  if (getpwnam_r(account.c_str(), &pw, buf, sizeof buf, &res) != 0 || !res) return false;
  if (sid) *sid = "S-1-22-1-" + std::to_string(res->pw_uid);
  return true;
}

std::string FormatSystemMessage(DWORD code) {
  static const struct {
    DWORD code;
    const char* text;
  } kMessages[] = {
      {0, "The operation completed successfully."},
      {1, "Incorrect function."},
      {2, "The system cannot find the file specified."},
      {3, "The system cannot find the path specified."},
      {5, "Access is denied."},
      {6, "The handle is invalid."},
      {8, "Not enough memory resources are available to process this command."},
      {13, "The data is invalid."},
      {87, "The parameter is incorrect."},
      {122, "The data area passed to a system call is too small."},
      {123, "The filename, directory name, or volume label syntax is incorrect."},
      {126, "The specified module could not be found."},
      {127, "The specified procedure could not be found."},
      {183, "Cannot create a file when that file already exists."},
      {1016, "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or "
             "write out, or flush, one of the files that contain the system's image of the registry."},
      {1052, "The requested control is not valid for this service."},
      {1053, "The service did not respond to the start or control request in a timely fashion."},
      {1054, "A thread could not be created for the service."},
      {1056, "An instance of the service is already running."},
      {1058, "The service cannot be started, either because it is disabled or because it has no enabled devices "
             "associated with it."},
      {1060, "The specified service does not exist as an installed service."},
      {1061, "The service cannot accept control messages at this time."},
      {1062, "The service has not been started."},
      {1063, "The service process could not connect to the service controller."},
      {1066, "The service has returned a service-specific error code."},
      {1067, "The process terminated unexpectedly."},
      {1072, "The specified service has been marked for deletion."},
      {1073, "The specified service already exists."},
      {1078, "The name is already in use as either a service name or a service display name."},
      {1083, "The executable program that this service is configured to run in does not implement the service."},
      {1722, "The RPC server is unavailable."},
  };
  for (const auto& m : kMessages)
    if (m.code == code) return std::string(m.text) + "\r\n";
  SetLastError(ERROR_MR_MID_NOT_FOUND);
  return {};
}

}  // namespace zemir
