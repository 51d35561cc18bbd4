// The service frame: command line, installation and removal, start and stop from the command
// line, the service control manager's callbacks and event-log reports.
#pragma once
#include <mutex>
#include <string>

#include "zemir/platform/service.h"

namespace zemir {

// The system's message for the thread's last error, without its final line break; empty when
// there is none or it does not fit in size - 14 characters. Returns `buf`.
char* SystemErrorText(char* buf, DWORD size);

class CNTService {
 public:
  // The parameters the service is registered with.
  struct CreateParameters {
    DWORD desiredAccess = SERVICE_ALL_ACCESS;
    DWORD serviceType = SERVICE_WIN32_OWN_PROCESS;
    DWORD startType = SERVICE_AUTO_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    const char* loadOrderGroup = "UIGroup";
    DWORD* tagId = nullptr;
    const char* dependencies = nullptr;
    const char* account = nullptr;  // the local system account
    const char* password = nullptr;
  };

  // The display name is the service name when none is given.
  explicit CNTService(const char* serviceName, const char* displayName = nullptr);
  virtual ~CNTService();
  CNTService(const CNTService&) = delete;
  CNTService& operator=(const CNTService&) = delete;

  // The service's body, run on the service's thread between start pending and stopped.
  virtual void Run(DWORD argc, char** argv) = 0;
  virtual void Stop() = 0;
  virtual void Pause() {}
  virtual void Continue() {}
  virtual void Shutdown() {}
  // Runs the workstation switches at once and the last of -i, -u, -s, -e after the walk (its
  // result is returned); without one of those, connects to the manager. 1 success, 0 failure.
  virtual BOOL ParseCommandLine(int argc, char** argv);
  virtual BOOL RunDispatcher();
  virtual BOOL Install();
  virtual BOOL Uninstall();
  virtual BOOL StopInstalled();
  virtual BOOL StartInstalled();
  // Runs the body without the manager (Ctrl+C stops it); the command line never takes this
  // path on this platform.
  virtual BOOL RunWithoutManager();
  virtual BOOL RegisterEventSourceKey(const char* messageFile, DWORD types);
  virtual void UnregisterEventSourceKey();
  // Reports one event under the service's name; identifier -1 (0xFFFFFFFF) picks the
  // identifier of the type.
  virtual void LogEvent(const char* text, WORD type, DWORD eventId);
  virtual BOOL OnUserControl(DWORD control) { return 0; }

  // Reports the state to the manager; nonzero when reported (always when run without it).
  BOOL SetStatus(DWORD state, DWORD waitHint, DWORD serviceExitCode = 0);
  // Makes standard input, output and errors unbuffered for the command line's messages (the
  // process already has its terminal; there is no console to allocate). Once.
  void OpenConsole();

  const std::string& serviceName() const { return serviceName_; }
  const std::string& displayName() const { return displayName_; }
  DWORD lastError() const { return lastError_; }
  DWORD currentState() const;

 protected:
  std::string serviceName_;
  std::string displayName_;
  DWORD checkPoint_ = 0;
  DWORD lastError_ = 0;
  bool withoutManager_ = false;
  SERVICE_STATUS_HANDLE statusHandle_ = nullptr;
  DWORD controlsAccepted_ = SERVICE_ACCEPT_STOP;
  std::string userSid_;  // empty when the account lookup failed
  bool ntPlatform_ = true;
  bool consoleOpen_ = false;
  CreateParameters create_;
  SERVICE_STATUS status_{};

  // The waits of the command line's polling loops (1,000 ms) and how many polls it makes at
  // most before it reports that the service did not reach the state.
  DWORD pollIntervalMs_ = 1000;
  DWORD maxPolls_ = 60;

 private:
  static void ServiceMain(DWORD argc, char** argv);
  static void ControlHandler(DWORD control);
  void RunWorkstationSwitch(char c);
  // Polls while the service reports `pending`; the last status is left in `status`.
  void PollWhile(SC_HANDLE service, DWORD pending, SERVICE_STATUS& status);
  // Asks the service to stop and reports the progress; true when it reached stopped.
  // `accepted` tells whether the request was taken at all.
  bool StopService(SC_HANDLE service, bool& accepted);

  mutable std::mutex statusMutex_;
  static CNTService* instance_;
};

}  // namespace zemir
