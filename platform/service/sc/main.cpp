// zemir-sc: queries and controls installed services from the shell, in the manner of sc.exe.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zemir/platform/service.h"

using namespace zemir;

namespace {

const char* StateName(DWORD s) {
  switch (s) {
    case SERVICE_STOPPED: return "STOPPED";
    case SERVICE_START_PENDING: return "START_PENDING";
    case SERVICE_STOP_PENDING: return "STOP_PENDING";
    case SERVICE_RUNNING: return "RUNNING";
    case SERVICE_CONTINUE_PENDING: return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return "PAUSE_PENDING";
    case SERVICE_PAUSED: return "PAUSED";
    default: return "UNKNOWN";
  }
}

void PrintStatus(const char* name, const SERVICE_STATUS& s) {
  std::printf("\nSERVICE_NAME: %s\n", name);
  std::printf("        TYPE               : %x  %s\n", static_cast<unsigned>(s.dwServiceType),
              s.dwServiceType == SERVICE_WIN32_OWN_PROCESS ? "WIN32_OWN_PROCESS" : "");
  std::printf("        STATE              : %u  %s\n", static_cast<unsigned>(s.dwCurrentState),
              StateName(s.dwCurrentState));
  std::printf("                                (%s%s%s)\n",
              s.dwControlsAccepted & SERVICE_ACCEPT_STOP ? "STOPPABLE" : "NOT_STOPPABLE",
              s.dwControlsAccepted & SERVICE_ACCEPT_PAUSE_CONTINUE ? ", PAUSABLE" : ", NOT_PAUSABLE",
              s.dwControlsAccepted & SERVICE_ACCEPT_SHUTDOWN ? ", ACCEPTS_SHUTDOWN" : ", IGNORES_SHUTDOWN");
  std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", static_cast<unsigned>(s.dwWin32ExitCode),
              static_cast<unsigned>(s.dwWin32ExitCode));
  std::printf("        SERVICE_EXIT_CODE  : %u  (0x%x)\n", static_cast<unsigned>(s.dwServiceSpecificExitCode),
              static_cast<unsigned>(s.dwServiceSpecificExitCode));
  std::printf("        CHECKPOINT         : 0x%x\n", static_cast<unsigned>(s.dwCheckPoint));
  std::printf("        WAIT_HINT          : 0x%x\n", static_cast<unsigned>(s.dwWaitHint));
}

int Failed(const char* call) {
  DWORD e = GetLastError();
  std::string text = FormatSystemMessage(e);
  std::printf("[SC] %s FAILED %u:\n\n%s", call, static_cast<unsigned>(e), text.empty() ? "\n" : text.c_str());
  return 1;  // exit codes hold 8 bits: the code is in the message
}

int Usage() {
  std::fprintf(stderr,
               "Usage: zemir-sc query|start|stop|pause|continue|interrogate|delete <service name> [arguments]\n"
               "       zemir-sc control <service name> <code 128-255>\n"
               "The services are those of the prefix in ZEMIR_PREFIX.\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  std::string cmd = argv[1];
  const char* name = argv[2];
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, cmd == "query" ? SC_MANAGER_CONNECT : SC_MANAGER_ALL_ACCESS);
  if (!scm) return Failed("OpenSCManager");
  SC_HANDLE svc = OpenServiceA(scm, name, SERVICE_ALL_ACCESS);
  if (!svc) {
    int rc = Failed("OpenService");
    CloseServiceHandle(scm);
    return rc;
  }
  SERVICE_STATUS st{};
  int rc = 0;
  if (cmd == "query") {
    if (QueryServiceStatus(svc, &st)) PrintStatus(name, st);
    else rc = Failed("QueryServiceStatus");
  } else if (cmd == "start") {
    std::vector<const char*> args(argv + 3, argv + argc);
    if (StartServiceA(svc, static_cast<DWORD>(args.size()), args.empty() ? nullptr : args.data()) &&
        QueryServiceStatus(svc, &st))
      PrintStatus(name, st);
    else rc = Failed("StartService");
  } else if (cmd == "delete") {
    if (DeleteService(svc)) std::printf("[SC] DeleteService SUCCESS\n");
    else rc = Failed("DeleteService");
  } else {
    DWORD code = 0;
    if (cmd == "stop") code = SERVICE_CONTROL_STOP;
    else if (cmd == "pause") code = SERVICE_CONTROL_PAUSE;
    else if (cmd == "continue") code = SERVICE_CONTROL_CONTINUE;
    else if (cmd == "interrogate") code = SERVICE_CONTROL_INTERROGATE;
    else if (cmd == "control" && argc > 3) code = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
    if (!code) {
      CloseServiceHandle(svc);
      CloseServiceHandle(scm);
      return Usage();
    }
    if (ControlService(svc, code, &st)) PrintStatus(name, st);
    else rc = Failed("ControlService");
  }
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return rc;
}
