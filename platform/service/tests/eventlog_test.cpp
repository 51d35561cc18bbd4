// Event-log reports in the prefix's Application log, message texts, account SIDs.
#include "zemir/platform/eventlog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "temp_prefix.h"
#include "zemir/platform/prefix.h"

using namespace zemir;

TEST(EventLog, ReportsAreAppendedOneLineEach) {
  test::TempPrefix prefix;
  HANDLE_EVENTSOURCE src = RegisterEventSourceA(nullptr, "Zemir RPC");
  ASSERT_NE(src, nullptr);
  const char* one[] = {"Service installed"};
  ASSERT_TRUE(ReportEventA(src, EVENTLOG_INFORMATION_TYPE, 0, 0x40000000, "S-1-22-1-0", 1, 0, one, nullptr));
  const char* two[] = {"first\r\nline", "tab\there"};
  ASSERT_TRUE(ReportEventA(src, EVENTLOG_ERROR_TYPE, 0, 0xC0000002, nullptr, 2, 0, two, nullptr));
  ASSERT_TRUE(DeregisterEventSource(src));

  std::string log = test::ReadFile(prefix.path() + "/eventlog/Application.log");
  auto nl = log.find('\n');
  ASSERT_NE(nl, std::string::npos);
  std::string first = log.substr(0, nl), second = log.substr(nl + 1);
  EXPECT_EQ(first.substr(19), "\tZemir RPC\tInformation\t0x40000000\tS-1-22-1-0\tService installed");
  EXPECT_EQ(second.substr(19), "\tZemir RPC\tError\t0xC0000002\t\tfirst  line | tab here\n");

  EXPECT_EQ(RegisterEventSourceA(nullptr, ""), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(RegisterEventSourceA("remotehost", "x"), nullptr);
}

TEST(EventLog, MessageTextsAndAccountSids) {
  EXPECT_EQ(FormatSystemMessage(1063), "The service process could not connect to the service controller.\r\n");
  EXPECT_EQ(FormatSystemMessage(1073), "The specified service already exists.\r\n");
  SetLastError(0);
  EXPECT_EQ(FormatSystemMessage(0x7FFF1234), "");
  EXPECT_EQ(GetLastError(), 317u);
  std::string sid;
  ASSERT_TRUE(LookupAccountSidText("root", &sid));
  EXPECT_EQ(sid, "S-1-22-1-0");
  EXPECT_FALSE(LookupAccountSidText("no-such-user-zemir", &sid));
}
