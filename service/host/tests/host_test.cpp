// The service program's command line as a process: install, start, pause and continue, stop,
// remove, the switch rules, the dispatcher run by hand, workstation actions (always through the
// dry-run recorder) and readiness under systemd.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "temp_prefix.h"
#include "zemir/platform/registry.h"
#include "zemir/platform/service.h"

using namespace zemir;

namespace {

const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\Zemir RPC";
const char* kEventKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

struct Result {
  int exit = -1;
  std::string out;
};

std::string Program() { return test::BuildBin() + "/ZemirRpcService"; }

// Starts the program (the service's, unless named) with `args`; returns its PID and the read
// end of its standard output.
pid_t Spawn(const std::vector<std::string>& args, int* outFd, std::string prog = Program()) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  std::vector<char*> av{prog.data()};
  std::vector<std::string> copy = args;
  for (auto& a : copy) av.push_back(a.data());
  av.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    execv(prog.c_str(), av.data());
    _exit(127);
  }
  close(fds[1]);
  *outFd = fds[0];
  return pid;
}

// Runs the program to its end (at most 60 s) and collects its standard output.
Result RunProgram(const std::vector<std::string>& args, const std::string& prog = Program()) {
  Result r;
  int fd = -1;
  pid_t pid = Spawn(args, &fd, prog);
  if (pid <= 0) return r;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char buf[512];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      r.out.append(buf, static_cast<size_t>(n));
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
  }
  close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  // A loaded machine may need more than one poll: the progress dots vary, the rest does not.
  static const std::regex dots("(Starting up Zemir RPC server\\.|Stopping Zemir RPC server\\.)\\.+");
  r.out = std::regex_replace(r.out, dots, "$1");
  return r;
}

// Whether the key exists now: the enumeration checks it even when the open was served from
// the registry's key cache.
bool KeyExists(const std::string& key) {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
  std::vector<RegValue> values;
  LONG rc = RegListValues(k, values);
  RegCloseKey(k);
  return rc == ERROR_SUCCESS;
}

std::string RegRaw(const std::string& key, const char* value, DWORD* type = nullptr) {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return "<no key>";
  std::string buf(4096, '\0');
  DWORD t = 0, cb = static_cast<DWORD>(buf.size());
  LONG rc = RegQueryValueExA(k, value, &t, reinterpret_cast<BYTE*>(buf.data()), &cb);
  RegCloseKey(k);
  if (rc != ERROR_SUCCESS) return "<none>";
  if (type) *type = t;
  buf.resize(cb);
  return buf;
}

DWORD RegDword(const std::string& key, const char* value) {
  std::string raw = RegRaw(key, value);
  DWORD v = 0xFFFFFFFF;
  if (raw.size() == 4) std::memcpy(&v, raw.data(), 4);
  return v;
}

SERVICE_STATUS Query() {
  SERVICE_STATUS st{};
  st.dwCurrentState = 0;
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE svc = scm ? OpenServiceA(scm, "Zemir RPC", SERVICE_QUERY_STATUS) : nullptr;
  if (svc) QueryServiceStatus(svc, &st);
  if (svc) CloseServiceHandle(svc);
  if (scm) CloseServiceHandle(scm);
  return st;
}

BOOL Control(DWORD code, SERVICE_STATUS* st) {
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE svc = scm ? OpenServiceA(scm, "Zemir RPC", SERVICE_ALL_ACCESS) : nullptr;
  BOOL ok = svc ? ControlService(svc, code, st) : 0;
  if (svc) CloseServiceHandle(svc);
  if (scm) CloseServiceHandle(scm);
  return ok;
}

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    // Workstation actions are only ever recorded here, never performed.
    session_ = prefix_.path() + "/session.txt";
    setenv("ZEMIR_SESSION_DRYRUN", session_.c_str(), 1);
    unsetenv("ZEMIR_SESSION_DRYRUN_FAIL");
    unsetenv("NOTIFY_SOCKET");
    ASSERT_TRUE(std::filesystem::exists(Program())) << Program();
    // The service's RPC server listens on a free loopback port, not on the machine's 4747.
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
    RegSetValueExA(k, "RpcEndpoint", REG_SZ, reinterpret_cast<const BYTE*>("0"), 2);
    RegSetValueExA(k, "RpcAddress", REG_SZ, reinterpret_cast<const BYTE*>("127.0.0.1"), 10);
    RegCloseKey(k);
  }
  void TearDown() override {
    // A service left running by a failed test is ended before its prefix goes.
    std::string status = std::string(kServiceKey) + "\\Status";
    DWORD pid = RegDword(status, "ProcessId");
    if (pid != 0xFFFFFFFF && pid != 0 && static_cast<pid_t>(pid) != getpid() &&
        platform::ProcessAlive(static_cast<int>(pid), 0)) {
      kill(static_cast<pid_t>(pid), SIGKILL);
      ADD_FAILURE() << "the service was still running";
    }
    std::string out = test::ReadFile(prefix_.path() + "/services/Zemir RPC.out");
    EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;
    EXPECT_EQ(out.find("runtime error"), std::string::npos) << out;
    unsetenv("ZEMIR_SESSION_DRYRUN");
    unsetenv("ZEMIR_SESSION_DRYRUN_FAIL");
  }
  std::string Log() { return test::ReadFile(prefix_.path() + "/drive_c/zemir_rpc_serv1.log"); }
  std::string Events() { return test::ReadFile(prefix_.path() + "/eventlog/Application.log"); }

  test::TempPrefix prefix_;
  std::string session_;
};

}  // namespace

TEST_F(Host, InstallStartPauseContinueStopUninstall) {
  Result r = RunProgram({"-i"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "Zemir RPC server installed.\n");
  DWORD type = 0;
  EXPECT_EQ(RegRaw(kServiceKey, "ImagePath", &type), std::filesystem::canonical(Program()).string() + '\0');
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(RegDword(kServiceKey, "Start"), 2u);
  EXPECT_EQ(RegDword(kServiceKey, "Type"), 16u);
  EXPECT_EQ(RegRaw(kServiceKey, "DisplayName"), std::string("Zemir RPC server") + '\0');
  EXPECT_EQ(RegRaw(kServiceKey, "Group"), std::string("UIGroup") + '\0');
  std::string eventSource = std::string(kEventKey) + "\\Zemir RPC";
  EXPECT_EQ(RegDword(eventSource, "TypesSupported"), 7u);
  EXPECT_EQ(RegRaw(eventSource, "EventMessageFile"), std::filesystem::canonical(Program()).string() + '\0');
  std::string sources = RegRaw(kEventKey, "Sources", &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_EQ(sources, std::string("Zemir RPC\0\0", 11));
  EXPECT_NE(Events().find("\tZemir RPC\tInformation\t0x40000000\tS-1-22-1-"), std::string::npos) << Events();
  EXPECT_NE(Events().find("\tService installed\n"), std::string::npos);

  // Installing twice fails with the system's text and leaves the event sources alone.
  r = RunProgram({"-i"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out, "CreateService failed - The specified service already exists.\n");
  EXPECT_EQ(RegRaw(kEventKey, "Sources"), sources);

  r = RunProgram({"-s"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "Starting up Zemir RPC server.\nZemir RPC server started.\n");
  SERVICE_STATUS st = Query();
  EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(st.dwControlsAccepted, 7u);
  EXPECT_NE(Log().find("Serv start... -------------, 0\r\n"), std::string::npos) << Log();
  EXPECT_NE(Log().find("Running..., 1\r\n"), std::string::npos);

  // Pause and continue only change the reported state; interrogation reports it again.
  ASSERT_TRUE(Control(SERVICE_CONTROL_PAUSE, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_PAUSED);
  EXPECT_GT(st.dwCheckPoint, 0u);  // pending and paused states count up the check point
  EXPECT_EQ(st.dwWaitHint, 3000u);
  EXPECT_EQ(Query().dwCurrentState, SERVICE_PAUSED);
  ASSERT_TRUE(Control(SERVICE_CONTROL_INTERROGATE, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_PAUSED);
  ASSERT_TRUE(Control(SERVICE_CONTROL_CONTINUE, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(st.dwCheckPoint, 0u);
  ASSERT_TRUE(Control(200, &st));  // a user control is taken and changes nothing
  EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
  // The same from the shell.
  std::string sc = test::BuildBin() + "/zemir-sc";
  r = RunProgram({"pause", "Zemir RPC"}, sc);
  EXPECT_EQ(r.exit, 0);
  EXPECT_NE(r.out.find("STATE              : 7  PAUSED\n"), std::string::npos) << r.out;
  r = RunProgram({"continue", "zemir rpc"}, sc);
  EXPECT_NE(r.out.find("STATE              : 4  RUNNING\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("(STOPPABLE, PAUSABLE, ACCEPTS_SHUTDOWN)"), std::string::npos) << r.out;
  r = RunProgram({"control", "Zemir RPC", "7"}, sc);
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "[SC] ControlService FAILED 1052:\n\nThe requested control is not valid for this service.\r\n");

  r = RunProgram({"-s"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out,
            "Starting up Zemir RPC server.\nZemir RPC server failed to start: An instance of the service is already "
            "running.\n");

  r = RunProgram({"-e"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "Stopping Zemir RPC server.\nZemir RPC server stopped.\n");
  st = Query();
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(st.dwWin32ExitCode, 0u);
  EXPECT_NE(Log().find("Service Exit, 1\r\n"), std::string::npos);
  // Stopping a stopped service: nothing to report, and no success.
  r = RunProgram({"-e"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out, "");

  r = RunProgram({"-u"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "Zemir RPC server removed.\n");
  EXPECT_FALSE(KeyExists(kServiceKey));
  EXPECT_FALSE(KeyExists(eventSource));
  EXPECT_EQ(RegRaw(kEventKey, "Sources"), std::string("\0", 1));
  r = RunProgram({"-u"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out, "OpenService failed - The specified service does not exist as an installed service.\n");
}

TEST_F(Host, TheLastServiceSwitchWinsAndOthersAreIgnored) {
  // -i then -s: only the start counts, and there is nothing to start.
  Result r = RunProgram({"-i", "-s"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out, "OpenService failed - The specified service does not exist as an installed service.\n");
  EXPECT_FALSE(KeyExists(kServiceKey));

  // Arguments without a leading "-" and unknown switches are ignored; only the second
  // character of a switch counts.
  r = RunProgram({"-s", "x", "i", "-Z", "-", "--", "-install"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "Zemir RPC server installed.\n");
  EXPECT_EQ(Query().dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(std::filesystem::exists(session_), false);  // no workstation action ran

  r = RunProgram({"-e", "-u"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "Zemir RPC server removed.\n");
}

TEST_F(Host, UninstallStopsARunningServiceFirst) {
  ASSERT_EQ(RunProgram({"-i"}).exit, 1);
  // Two starts at once: one starts the service, the other finds it starting or running.
  Result second;
  std::thread other([&] { second = RunProgram({"-s"}); });
  Result first = RunProgram({"-s"});
  other.join();
  EXPECT_EQ(first.exit + second.exit, 1) << first.out << second.out;
  EXPECT_NE((first.out + second.out).find("Zemir RPC server started.\n"), std::string::npos);
  EXPECT_NE((first.out + second.out).find("failed to start: An instance of the service is already running.\n"),
            std::string::npos);
  DWORD pid = RegDword(std::string(kServiceKey) + "\\Status", "ProcessId");
  ASSERT_TRUE(platform::ProcessAlive(static_cast<int>(pid), 0));
  Result r = RunProgram({"-u"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "Stopping Zemir RPC server.\nZemir RPC server stopped.\nZemir RPC server removed.\n");
  EXPECT_FALSE(KeyExists(kServiceKey));
  for (int i = 0; i < 100 && platform::ProcessAlive(static_cast<int>(pid), 0); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(platform::ProcessAlive(static_cast<int>(pid), 0));
}

TEST_F(Host, AServiceThatDiesReadsStoppedAndStartsAgain) {
  ASSERT_EQ(RunProgram({"-i"}).exit, 1);
  ASSERT_EQ(RunProgram({"-s"}).exit, 1);
  DWORD pid = RegDword(std::string(kServiceKey) + "\\Status", "ProcessId");
  ASSERT_NE(pid, 0u);
  kill(static_cast<pid_t>(pid), SIGKILL);
  for (int i = 0; i < 100 && platform::ProcessAlive(static_cast<int>(pid), 0); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  SERVICE_STATUS st = Query();
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(st.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  Result r = RunProgram({"-s"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "Starting up Zemir RPC server.\nZemir RPC server started.\n");
  r = RunProgram({"-u"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, "Stopping Zemir RPC server.\nZemir RPC server stopped.\nZemir RPC server removed.\n");
}

TEST_F(Host, RunByHandTheDispatcherFailsAsOnWindows) {
  Result r = RunProgram({});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(Events().find("\tZemir RPC\tError\t0xC0000002\tS-1-22-1-"), std::string::npos) << Events();
  EXPECT_NE(Events().find("\tThe service process could not connect to the service controller.\n"), std::string::npos);

  // Workstation switches alone run, then the dispatcher fails all the same.
  r = RunProgram({"-A"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(test::ReadFile(session_), "lock\tloginctl lock-sessions\n");
  EXPECT_NE(Log().find("Started with 'A' (Lock Workstation)\r\n"), std::string::npos) << Log();

  // With ZemirPath set, the log is that folder's "rpc_serv.log".
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  const char folder[] = "C:\\Program Files\\Zemir\\";
  RegSetValueExA(k, "ZemirPath", REG_SZ, reinterpret_cast<const BYTE*>(folder), sizeof folder);
  RegCloseKey(k);
  std::filesystem::create_directories(prefix_.path() + "/drive_c/Program Files/Zemir");
  EXPECT_EQ(RunProgram({"-X"}).exit, 0);
  std::string log = test::ReadFile(prefix_.path() + "/drive_c/Program Files/Zemir/rpc_serv.log");
  EXPECT_NE(log.find("Started with 'X' (Time Expired. Locking WorckStation)\r\n"), std::string::npos) << log;
}

TEST_F(Host, WorkstationSwitchesRunInOrderWithTheirFallbacks) {
  ASSERT_FALSE(session_.empty());
  Result r = RunProgram({"-A", "-B", "-C", "-D", "-E", "-X", "-i"});
  EXPECT_EQ(r.exit, 1);  // the actions run at once; the install after the walk
  EXPECT_EQ(test::ReadFile(session_),
            "lock\tloginctl lock-sessions\n"
            "logoff\tloginctl terminate-seat seat0\n"
            "poweroff\tsystemctl poweroff\n"
            "hibernate\tsystemctl hibernate --ignore-inhibitors\n"
            "lock\tloginctl lock-sessions\n"
            "screensaver\txdg-screensaver activate\n"
            "lock\tloginctl lock-sessions\n");
  std::string log = Log();
  size_t at = 0;
  for (const char* line : {"Started with 'A' (Lock Workstation)", "Started with 'B' (Log Off)",
                           "Started with 'C' (Shut Down)", "Started with 'D' (...)", "Started with 'E' (Screen Saver)",
                           "Started with 'X' (Time Expired. Locking WorckStation)"}) {
    at = log.find(line, at);
    EXPECT_NE(at, std::string::npos) << line;
  }

  // When log off, power off and hibernation fail, the workstation is locked instead;
  // hibernation is tried twice first.
  std::filesystem::remove(session_);
  setenv("ZEMIR_SESSION_DRYRUN_FAIL", "logoff,poweroff,hibernate", 1);
  r = RunProgram({"-B", "-C", "-D", "-u"});
  unsetenv("ZEMIR_SESSION_DRYRUN_FAIL");
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(test::ReadFile(session_),
            "logoff\tloginctl terminate-seat seat0\n"
            "lock\tloginctl lock-sessions\n"
            "poweroff\tsystemctl poweroff\n"
            "lock\tloginctl lock-sessions\n"
            "hibernate\tsystemctl hibernate --ignore-inhibitors\n"
            "hibernate\tsystemctl hibernate --ignore-inhibitors\n"
            "lock\tloginctl lock-sessions\n");
}

TEST_F(Host, UnderSystemdTheServiceReportsReadinessAndStopsOnTerm) {
  std::string sock = prefix_.path() + "/notify";
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

  setenv("NOTIFY_SOCKET", sock.c_str(), 1);
  int out = -1;
  pid_t pid = Spawn({}, &out);
  unsetenv("NOTIFY_SOCKET");
  ASSERT_GT(pid, 0);
  auto receiveUntil = [fd](const std::string& wanted) {
    std::string all;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && all.find(wanted) == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char buf[512];
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n > 0) all.append(buf, static_cast<size_t>(n)).push_back('|');
    }
    return all;
  };
  std::string got = receiveUntil("READY=1");
  EXPECT_NE(got.find("MAINPID=" + std::to_string(pid)), std::string::npos) << got;
  EXPECT_NE(got.find("READY=1\nSTATUS=Running"), std::string::npos) << got;
  kill(pid, SIGTERM);  // systemctl stop
  got = receiveUntil("STATUS=Stopped");
  EXPECT_NE(got.find("STOPPING=1"), std::string::npos) << got;
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  close(out);
  close(fd);
  EXPECT_FALSE(KeyExists(kServiceKey));  // not installed: systemd alone knew of it
}
