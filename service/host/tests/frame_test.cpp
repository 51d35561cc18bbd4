// The service frame in process: event sources in the registry, event identifiers, status
// reports without a manager, the system's error text.
#include <gtest/gtest.h>

#include <string>

#include "temp_prefix.h"
#include "zemir/platform/eventlog.h"
#include "zemir/platform/registry.h"
#include "zemir/service/ntservice.h"

using namespace zemir;

namespace {

const char* kApplication = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

class TestService : public CNTService {
 public:
  TestService() : CNTService("Frame Svc") {}
  void Run(DWORD, char**) override {}
  void Stop() override {}
  void SetWithoutManager() { withoutManager_ = true; }
};

void SetSources(const std::string& raw) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kApplication, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  RegSetValueExA(k, "Sources", REG_MULTI_SZ, reinterpret_cast<const BYTE*>(raw.data()), static_cast<DWORD>(raw.size()));
  RegCloseKey(k);
}

std::string Sources() {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kApplication, 0, KEY_READ, &k) != ERROR_SUCCESS) return "<no key>";
  std::string buf(1024, '\0');
  DWORD type = 0, cb = static_cast<DWORD>(buf.size());
  LONG rc = RegQueryValueExA(k, "Sources", &type, reinterpret_cast<BYTE*>(buf.data()), &cb);
  RegCloseKey(k);
  if (rc != ERROR_SUCCESS) return "<none>";
  buf.resize(cb);
  return buf;
}

}  // namespace

TEST(Frame, EventSourceKeysKeepTheOtherSources) {
  test::TempPrefix prefix;
  TestService svc;
  EXPECT_EQ(svc.displayName(), "Frame Svc");
  SetSources(std::string("Other\0Frame Svc2\0\0", 18));
  ASSERT_TRUE(svc.RegisterEventSourceKey("/opt/x/prog", 7));
  EXPECT_EQ(Sources(), std::string("Other\0Frame Svc2\0Frame Svc\0\0", 28));
  ASSERT_TRUE(svc.RegisterEventSourceKey("/opt/x/prog", 7));  // already listed: unchanged
  EXPECT_EQ(Sources(), std::string("Other\0Frame Svc2\0Frame Svc\0\0", 28));
  svc.UnregisterEventSourceKey();
  EXPECT_EQ(Sources(), std::string("Other\0Frame Svc2\0\0", 18));
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kApplication) + "\\Frame Svc").c_str(), 0, KEY_ALL_ACCESS,
                          &k),
            ERROR_FILE_NOT_FOUND);

  // A list stored without its terminators is read to its end, not past it.
  SetSources("Other");
  ASSERT_TRUE(svc.RegisterEventSourceKey("/opt/x/prog", 7));
  EXPECT_EQ(Sources(), std::string("Other\0Frame Svc\0\0", 17));
  // Removing a source that is not listed leaves the list as it is.
  SetSources(std::string("Other\0\0", 7));
  svc.UnregisterEventSourceKey();
  EXPECT_EQ(Sources(), std::string("Other\0\0", 7));
}

TEST(Frame, EventIdentifiersFollowTheTypeAndStatusReportsNeedAManager) {
  test::TempPrefix prefix;
  TestService svc;
  SetLastError(1060);
  svc.LogEvent("an error", EVENTLOG_ERROR_TYPE, static_cast<DWORD>(-1));
  EXPECT_EQ(svc.lastError(), 1060u);
  svc.LogEvent("a warning", EVENTLOG_WARNING_TYPE, static_cast<DWORD>(-1));
  svc.LogEvent("a note", EVENTLOG_INFORMATION_TYPE, static_cast<DWORD>(-1));
  svc.LogEvent("an audit", EVENTLOG_AUDIT_SUCCESS, static_cast<DWORD>(-1));
  svc.LogEvent("chosen", EVENTLOG_INFORMATION_TYPE, 0x1234);
  // Reported without a manager connection: refused, and said so in the event log.
  EXPECT_FALSE(svc.SetStatus(SERVICE_RUNNING, 3000));
  svc.SetWithoutManager();
  EXPECT_TRUE(svc.SetStatus(SERVICE_RUNNING, 3000));

  std::string log = test::ReadFile(prefix.path() + "/eventlog/Application.log");
  for (const char* expected :
       {"\tFrame Svc\tError\t0xC0000002\t", "\tFrame Svc\tWarning\t0x80000001\t", "\tFrame Svc\tInformation\t0x40000000\t",
        "\tFrame Svc\tAudit Success\t0x40000000\t", "\tFrame Svc\tInformation\t0x00001234\t",
        "\tSetServiceStatus() failed\n"})
    EXPECT_NE(log.find(expected), std::string::npos) << expected << "\n" << log;
}

TEST(Frame, SystemErrorTextDropsTheLineBreakAndNeedsRoom) {
  const std::string text = "The specified service already exists.";  // 37 characters
  char buf[64];
  SetLastError(1073);
  EXPECT_EQ(std::string(SystemErrorText(buf, sizeof buf)), text);
  EXPECT_EQ(GetLastError(), 1073u);  // left as it was for the next reader
  // The message with its line break (39) plus 14 must fit.
  EXPECT_EQ(std::string(SystemErrorText(buf, 53)), text);
  EXPECT_EQ(std::string(SystemErrorText(buf, 52)), "");
  SetLastError(0x7FFF0000);
  EXPECT_EQ(std::string(SystemErrorText(buf, sizeof buf)), "");
}
