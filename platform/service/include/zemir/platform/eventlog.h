// The Application event log and the system's message texts for error codes.
//
// Reports go to syslog (facility daemon, the source as identifier, the type as priority) and,
// so that administrators without a syslog daemon and tests can read them, are appended to
// <prefix>/eventlog/Application.log, one line per report:
//   YYYY-MM-DD HH:MM:SS <TAB> source <TAB> type <TAB> 0xEVENTID <TAB> user SID <TAB> strings
// where the type is Error, Warning, Information, Audit Success or Audit Failure and several
// strings are joined with " | "; line breaks and tabs inside a string become blanks.
#pragma once
#include <string>

#include "zemir/platform/module.h"  // GetLastError, SetLastError
#include "zemir/platform/win32.h"

namespace zemir {

struct EVENTSOURCE__;
using HANDLE_EVENTSOURCE = EVENTSOURCE__*;

constexpr LONG RPC_S_SERVER_UNAVAILABLE = 1722;

constexpr WORD EVENTLOG_SUCCESS = 0x0000;
constexpr WORD EVENTLOG_ERROR_TYPE = 0x0001;
constexpr WORD EVENTLOG_WARNING_TYPE = 0x0002;
constexpr WORD EVENTLOG_INFORMATION_TYPE = 0x0004;
constexpr WORD EVENTLOG_AUDIT_SUCCESS = 0x0008;
constexpr WORD EVENTLOG_AUDIT_FAILURE = 0x0010;

// Null server or "" only; null with 87 for an empty source name.
HANDLE_EVENTSOURCE RegisterEventSourceA(const char* server, const char* source);
// `userSid` is the SID's text form or null.
BOOL ReportEventA(HANDLE_EVENTSOURCE source, WORD type, WORD category, DWORD eventId, const char* userSid,
                  WORD numStrings, DWORD dataSize, const char** strings, const void* data);
BOOL DeregisterEventSource(HANDLE_EVENTSOURCE source);

// GetUserName and LookupAccountName in one: the SID of a local account in text form,
// "S-1-22-1-<uid>" (the form used for Unix accounts in Windows domains). False when no such
// account exists.
bool LookupAccountSidText(const std::string& account, std::string* sid);

// FormatMessage(FORMAT_MESSAGE_FROM_SYSTEM) for the codes this system meets: the English text
// followed by "\r\n", or empty (with last error 317) for a code without a message.
std::string FormatSystemMessage(DWORD code);

}  // namespace zemir
