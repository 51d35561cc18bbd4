// Key, event and secret records: write one, list a container, find one and read its attributes.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "zemir/directory/adapter.h"

namespace zemir {

// A filter is built in a 200-byte buffer: longer filters are refused, never cut.
constexpr size_t kMaxFilterLength = 199;

// Creates or updates the object "CN=<name>" in the container and sets every attribute of
// `attrs` (names shorter than two characters skipped, empty values written as " "). False
// only when the object could not be created.
bool _zemirAP_addRecord(const std::u16string& container, const std::u16string& name, const std::u16string& className,
                        AttrMap attrs);

// The child names of a container ("CN=..."), in the adapter's order; empty on failure.
std::vector<std::u16string> _zemirAP_ListChilds(const std::u16string& container);

// Finds one object of the container and fills `attrs` (names pre-filled with " ") from it:
// by child name when `child` is given (a "CN=..." item of _zemirAP_ListChilds), else by a
// search on the key serial and/or user name (narrow text in the ANSI code page). Null or
// empty arguments count as absent. Console variant: a user name containing "*" searches
// zmUserAttr1 with the "*" kept as a wildcard; the offline flag is cleared first and set
// when the container cannot be opened.
bool _zemirAP_getAttrsMap(const std::u16string& container, const char16_t* child, const char* userName,
                          const char* keySerial, AttrMap& attrs);

// The service's copies: every value of a filter is escaped ("*" included, since the names
// come from remote callers), no offline flag, every failed open logged.
namespace svc {
bool _zemirAP_getAttrsMap(const std::u16string& container, const char16_t* child, const char* userName,
                          const char* keySerial, AttrMap& attrs);
// Finds an event record by user and kind ("OTP-Auth" for a pending one-time-password check).
bool _zemirAP_findSelfEnrolls(const std::u16string& container, AttrMap& attrs, const char* userName,
                              const char* signalType);
}  // namespace svc
using svc::_zemirAP_findSelfEnrolls;

// RFC 4515 escaping of one filter value: "(", ")", "\" and NUL always, "*" when `star`.
std::string FilterEscape(std::string_view value, bool star);

}  // namespace zemir
