// The service registry bookkeeping, the supervisor's refusals and the dispatcher's connection
// check. The full start, control and stop round trip is tested with the real service program
// (service/host/tests).
#include "zemir/platform/service.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "temp_prefix.h"
#include "zemir/platform/registry.h"

using namespace zemir;

namespace {

const char* kName = "Test Svc";

std::string RegString(const std::string& key, const char* value, DWORD* typeOut = nullptr) {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return "<no key>";
  char buf[512] = {};
  DWORD type = 0, cb = sizeof buf - 1;
  LONG rc = RegQueryValueExA(k, value, &type, reinterpret_cast<BYTE*>(buf), &cb);
  RegCloseKey(k);
  if (typeOut) *typeOut = type;
  if (rc != ERROR_SUCCESS) return "<none>";
  if (type == REG_DWORD) {
    DWORD v;
    std::memcpy(&v, buf, 4);
    return std::to_string(v);
  }
  return std::string(buf, cb ? cb - 1 : 0);
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

SC_HANDLE Install(SC_HANDLE scm, const char* name, const char* display, const char* image) {
  return CreateServiceA(scm, name, display, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                        SERVICE_ERROR_NORMAL, image, "UIGroup", nullptr, nullptr, nullptr, nullptr);
}

// Writes a status record as a service process would, for a given PID.
void FakeStatus(const char* name, DWORD state, DWORD pid) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (platform::ServiceKeyPath(name) + "\\Status").c_str(), KEY_ALL_ACCESS,
                            &k),
            ERROR_SUCCESS);
  DWORD f[9] = {SERVICE_WIN32_OWN_PROCESS, state, SERVICE_ACCEPT_STOP, 0, 0, 0, 0, pid, 0};
  RegSetValueExA(k, "ServiceStatus", REG_BINARY, reinterpret_cast<const BYTE*>(f), sizeof f);
  RegSetValueExA(k, "ProcessId", REG_DWORD, reinterpret_cast<const BYTE*>(&pid), 4);
  DWORD one = 1;
  RegSetValueExA(k, "Connected", REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
  RegCloseKey(k);
}

// The PID of a process that has ended (and been reaped).
int DeadPid() {
  pid_t p = fork();
  if (p == 0) _exit(0);
  int st;
  waitpid(p, &st, 0);
  return p;
}

}  // namespace

TEST(Scm, CreateServiceRecordsTheServiceWhereWindowsKeepsIt) {
  test::TempPrefix prefix;
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(scm, nullptr);
  SC_HANDLE svc = Install(scm, kName, "Test service", "/opt/test/svc");
  ASSERT_NE(svc, nullptr);
  CloseServiceHandle(svc);

  std::string key = "SYSTEM\\CurrentControlSet\\Services\\Test Svc";
  DWORD type = 0;
  EXPECT_EQ(RegString(key, "ImagePath", &type), "/opt/test/svc");
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(RegString(key, "DisplayName"), "Test service");
  EXPECT_EQ(RegString(key, "Type"), "16");
  EXPECT_EQ(RegString(key, "Start"), "2");
  EXPECT_EQ(RegString(key, "ErrorControl"), "1");
  EXPECT_EQ(RegString(key, "ObjectName"), "LocalSystem");
  EXPECT_EQ(RegString(key, "Group"), "UIGroup");

  // A second registration of the name, in any case, fails and changes nothing.
  SetLastError(0xdeadbeef);
  EXPECT_EQ(Install(scm, "TEST SVC", "Other", "/other"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
  EXPECT_EQ(RegString(key, "ImagePath"), "/opt/test/svc");
  // Another name with the same display name, or named like another's display name.
  EXPECT_EQ(Install(scm, "Second", "test SERVICE", "/x"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
  EXPECT_EQ(Install(scm, "Test service", nullptr, "/x"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DUPLICATE_SERVICE_NAME));
  for (const char* bad : {"", "a\\b", "a/b"}) {
    EXPECT_EQ(Install(scm, bad, nullptr, "/x"), nullptr) << bad;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME)) << bad;
  }

  // Never started: stopped. Controls need a running service.
  svc = OpenServiceA(scm, "test svc", SERVICE_ALL_ACCESS);
  ASSERT_NE(svc, nullptr);
  SERVICE_STATUS st{};
  ASSERT_TRUE(QueryServiceStatus(svc, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  EXPECT_FALSE(ControlService(svc, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  EXPECT_FALSE(ControlService(svc, SERVICE_CONTROL_SHUTDOWN, &st));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));

  ASSERT_TRUE(DeleteService(svc));
  CloseServiceHandle(svc);
  EXPECT_FALSE(KeyExists(key));
  EXPECT_EQ(OpenServiceA(scm, kName, SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  // The name is free again.
  svc = Install(scm, kName, nullptr, "/opt/test/svc");
  ASSERT_NE(svc, nullptr);
  EXPECT_EQ(RegString(key, "DisplayName"), kName);
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  EXPECT_EQ(OpenSCManagerA("otherhost", nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
}

TEST(Scm, AServiceWhoseProcessIsGoneReadsAsStoppedAndAMarkedOneIsDeleted) {
  test::TempPrefix prefix;
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE svc = Install(scm, kName, nullptr, "/opt/test/svc");
  ASSERT_NE(svc, nullptr);

  // A process that ended without reporting reads as stopped, and is recorded so.
  FakeStatus(kName, SERVICE_RUNNING, static_cast<DWORD>(DeadPid()));
  SERVICE_STATUS st{};
  ASSERT_TRUE(QueryServiceStatus(svc, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(st.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  EXPECT_EQ(RegString(platform::ServiceKeyPath(kName) + "\\Status", "CurrentState"), "1");
  EXPECT_EQ(RegString(platform::ServiceKeyPath(kName) + "\\Status", "ProcessId"), "0");

  // A live process (this one) reporting running: running, and deletion only marks it.
  FakeStatus(kName, SERVICE_RUNNING, static_cast<DWORD>(getpid()));
  ASSERT_TRUE(QueryServiceStatus(svc, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_RUNNING);
  EXPECT_FALSE(StartServiceA(svc, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  ASSERT_TRUE(DeleteService(svc));
  EXPECT_TRUE(KeyExists(platform::ServiceKeyPath(kName)));
  EXPECT_FALSE(DeleteService(svc));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
  EXPECT_EQ(Install(scm, kName, nullptr, "/x"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));

  // The process ends without reporting: stopped with "process terminated unexpectedly", and
  // the marked service goes.
  FakeStatus(kName, SERVICE_RUNNING, static_cast<DWORD>(DeadPid()));
  ASSERT_TRUE(QueryServiceStatus(svc, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(st.dwWin32ExitCode, static_cast<DWORD>(ERROR_PROCESS_ABORTED));
  EXPECT_FALSE(KeyExists(platform::ServiceKeyPath(kName)));
  CloseServiceHandle(svc);

  // A damaged status record reads as stopped rather than as some state.
  svc = Install(scm, kName, nullptr, "/opt/test/svc");
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (platform::ServiceKeyPath(kName) + "\\Status").c_str(), KEY_ALL_ACCESS,
                            &k),
            ERROR_SUCCESS);
  BYTE junk[5] = {1, 2, 3, 4, 5};
  RegSetValueExA(k, "ServiceStatus", REG_BINARY, junk, sizeof junk);
  RegCloseKey(k);
  ASSERT_TRUE(QueryServiceStatus(svc, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
}

TEST(Scm, StartRefusesMissingProgramsAndProcessesThatNeverConnect) {
  test::TempPrefix prefix;
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE missing = Install(scm, "Missing", nullptr, "/nonexistent/prog");
  ASSERT_FALSE(StartServiceA(missing, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // A program that is no service ends without connecting: the start fails, the state is stopped.
  SC_HANDLE notService = Install(scm, "NotService", nullptr, "\"/bin/true\" --flag");
  ASSERT_FALSE(StartServiceA(notService, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  SERVICE_STATUS st{};
  ASSERT_TRUE(QueryServiceStatus(notService, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);

  // One that lives on without connecting is killed when the start timeout passes.
  SC_HANDLE sleeper = Install(scm, "Sleeper", nullptr, "/bin/sleep 30");
  setenv("ZEMIR_SCM_START_TIMEOUT_MS", "300", 1);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_FALSE(StartServiceA(sleeper, 0, nullptr));
  unsetenv("ZEMIR_SCM_START_TIMEOUT_MS");
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (platform::ServiceKeyPath("Sleeper") + "\\Status").c_str(), 0, KEY_READ, &k),
            ERROR_SUCCESS);
  RegCloseKey(k);
  ASSERT_TRUE(QueryServiceStatus(sleeper, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);

  // Disabled services do not start.
  SC_HANDLE disabled = CreateServiceA(scm, "Off", nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                      SERVICE_DISABLED, SERVICE_ERROR_NORMAL, "/bin/true", nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
  ASSERT_FALSE(StartServiceA(disabled, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DISABLED));
  for (SC_HANDLE h : {missing, notService, sleeper, disabled}) CloseServiceHandle(h);
  CloseServiceHandle(scm);
}

TEST(Scm, ProgramPathsComeFromTheImagePath) {
  test::TempPrefix prefix;
  std::filesystem::create_directories(prefix.path() + "/drive_c/Program Files/Zemir");
  std::ofstream(prefix.path() + "/drive_c/Program Files/Zemir/svc.exe") << "x";
  EXPECT_EQ(platform::ServiceProgramPath("C:\\Program Files\\Zemir\\svc.exe"),
            prefix.path() + "/drive_c/Program Files/Zemir/svc.exe");
  EXPECT_EQ(platform::ServiceProgramPath("\"C:\\Program Files\\Zemir\\svc.exe\" -x"),
            prefix.path() + "/drive_c/Program Files/Zemir/svc.exe");
  EXPECT_EQ(platform::ServiceProgramPath("/usr/bin/prog --arg"), "/usr/bin/prog");
  EXPECT_EQ(platform::ServiceCommandLine("\"C:\\Program Files\\Zemir\\svc.exe\" -x \"a b\" \"\""),
            (std::vector<std::string>{prefix.path() + "/drive_c/Program Files/Zemir/svc.exe", "-x", "a b", ""}));
  EXPECT_EQ(platform::ServiceProgramPath("  "), "");
}

TEST(Dispatcher, FailsToConnectWhenNotStartedByTheManager) {
  test::TempPrefix prefix;
  static bool ran = false;
  SERVICE_TABLE_ENTRYA table[] = {{kName, [](DWORD, char**) { ran = true; }}, {nullptr, nullptr}};
  unsetenv("NOTIFY_SOCKET");
  unsetenv("ZEMIR_SCM_SERVICE");
  SetLastError(0);
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));

  // A start credential that the registry does not hold is refused the same way.
  SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  CloseServiceHandle(Install(scm, kName, nullptr, "/bin/true"));
  CloseServiceHandle(scm);
  setenv("ZEMIR_SCM_SERVICE", kName, 1);
  setenv("ZEMIR_SCM_TOKEN", "forged", 1);
  EXPECT_FALSE(StartServiceCtrlDispatcherA(table));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  unsetenv("ZEMIR_SCM_SERVICE");
  unsetenv("ZEMIR_SCM_TOKEN");
  EXPECT_FALSE(ran);
  EXPECT_EQ(RegisterServiceCtrlHandlerA(kName, [](DWORD) {}), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_IN_EXE));
}

TEST(Dispatcher, SystemdNotificationsReachTheSocket) {
  test::TempPrefix prefix;
  std::string path = prefix.path() + "/notify.sock";
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(platform::NotifySystemd("READY=1"));
  setenv("NOTIFY_SOCKET", path.c_str(), 1);
  EXPECT_TRUE(platform::NotifySystemd("READY=1\nSTATUS=Running"));
  unsetenv("NOTIFY_SOCKET");
  char buf[256] = {};
  ssize_t n = recv(fd, buf, sizeof buf - 1, MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "READY=1\nSTATUS=Running");
  close(fd);
}
