// Registry bookkeeping shared by the manager's side and the service's side.
#pragma once
#include <optional>
#include <string>

#include "zemir/platform/registry.h"
#include "zemir/platform/service.h"

namespace zemir::platform::svc {

inline constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
inline constexpr const char* kStatusSubkey = "Status";
// Environment handed to a started service: its name and its start credential.
inline constexpr const char* kEnvService = "ZEMIR_SCM_SERVICE";
inline constexpr const char* kEnvToken = "ZEMIR_SCM_TOKEN";

// An open registry key, closed on scope exit.
class Key {
 public:
  Key() = default;
  explicit Key(HKEY h) : h_(h) {}
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  Key(Key&& o) noexcept : h_(o.h_) { o.h_ = nullptr; }
  Key& operator=(Key&& o) noexcept {
    if (this != &o) {
      if (h_) RegCloseKey(h_);
      h_ = o.h_;
      o.h_ = nullptr;
    }
    return *this;
  }
  ~Key() {
    if (h_) RegCloseKey(h_);
  }
  HKEY get() const { return h_; }
  HKEY* out() { return &h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HKEY h_ = nullptr;
};

// SERVICE_STATUS_PROCESS as kept in the ServiceStatus value.
struct StatusRecord {
  SERVICE_STATUS status{};
  DWORD processId = 0;
  DWORD flags = 0;
};

// The service's key; ERROR_FILE_NOT_FOUND when it is not installed.
LONG OpenServiceKey(const std::string& name, Key& key, bool write);
// The Status subkey; created when `create` is set and the service key exists.
LONG OpenStatusKey(const std::string& name, Key& key, bool create);

std::optional<DWORD> GetDword(HKEY key, const char* value);
std::optional<unsigned long long> GetQword(HKEY key, const char* value);
std::optional<std::string> GetString(HKEY key, const char* value);
LONG SetDword(HKEY key, const char* value, DWORD v);
LONG SetQword(HKEY key, const char* value, unsigned long long v);
LONG SetString(HKEY key, const char* value, const std::string& v, DWORD type = REG_SZ);

// The recorded status; a service never started reads as stopped.
StatusRecord ReadStatus(HKEY statusKey);
LONG WriteStatus(HKEY statusKey, const StatusRecord& rec);

// Removes the service's key when it is marked for deletion. True when removed.
bool DeleteIfPending(const std::string& name);

// The signal that carries a control code, and the request value that sigqueue sends.
int SignalFor(DWORD control);
inline unsigned RequestValue(DWORD control, unsigned seq) { return (control << 24) | (seq & 0xFFFFFFu); }

}  // namespace zemir::platform::svc
