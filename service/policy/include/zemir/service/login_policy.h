// The login policy: may a user log on with the password alone under the two-factor mode?
#pragma once
#include <cstdint>
#include <string>

namespace zemir {

// What the policy knows of the calling session. A process started as a service is never in
// a remote desktop session, and nothing supplies a client address, so both stay at their
// defaults in the service; tests set them to exercise the address filters.
struct SessionInfo {
  int remoteSession = 0;      // GetSystemMetrics(SM_REMOTESESSION) of the process
  std::string clientAddress;  // dotted client address of a remote session
};

// 1 = the password alone is enough, 0 = two factors are required. `closeSession` (optional)
// becomes 1 when mode 5 asks for the session of a user outside the group to be closed.
std::int32_t isUserAllowedToLoginByPassw(const char* userName, std::int32_t* closeSession,
                                         const SessionInfo& session = SessionInfo());

// Steps of the remote desktop modes, exposed for tests: whether the one-factor filter (a
// comma-separated list of address fragments) lets `address` log on by password.
bool OneFactorFilterAllows(const std::string& filter, const std::string& address);

}  // namespace zemir
