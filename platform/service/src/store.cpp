// Registry bookkeeping of services: keys, typed values and the recorded status.
#include <signal.h>

#include <cstring>
#include <vector>

#include "internal.h"

namespace zemir::platform::svc {

namespace {

// A read-only open may be served from the registry's key cache and succeed for a key that
// another caller has deleted since; the first query tells. Existence decides here (installed
// or not), so the open is confirmed with a query of the default value.
LONG Confirm(LONG rc, Key& key) {
  if (rc != ERROR_SUCCESS) return rc;
  DWORD type = 0, cb = 0;
  if (RegQueryValueExA(key.get(), "", &type, nullptr, &cb) == ERROR_KEY_DELETED) {
    key = Key();
    return ERROR_FILE_NOT_FOUND;
  }
  return ERROR_SUCCESS;
}

}  // namespace

LONG OpenServiceKey(const std::string& name, Key& key, bool write) {
  if (name.empty()) return ERROR_FILE_NOT_FOUND;
  return Confirm(RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServiceKeyPath(name).c_str(), 0,
                               write ? KEY_ALL_ACCESS : KEY_READ, key.out()),
                 key);
}

LONG OpenStatusKey(const std::string& name, Key& key, bool create) {
  Key svc;
  if (LONG rc = OpenServiceKey(name, svc, false)) return rc;
  if (create) return RegCreateKeyExA(svc.get(), kStatusSubkey, KEY_ALL_ACCESS, key.out());
  // Readers also record what they find out (a service whose process is gone), so they open
  // for writing where the hive allows it.
  LONG rc = RegOpenKeyExA(svc.get(), kStatusSubkey, 0, KEY_ALL_ACCESS, key.out());
  if (rc == ERROR_ACCESS_DENIED) rc = Confirm(RegOpenKeyExA(svc.get(), kStatusSubkey, 0, KEY_READ, key.out()), key);
  return rc;
}

std::optional<DWORD> GetDword(HKEY key, const char* value) {
  DWORD v = 0, type = 0, cb = sizeof v;
  if (RegQueryValueExA(key, value, &type, reinterpret_cast<BYTE*>(&v), &cb) != ERROR_SUCCESS || type != REG_DWORD ||
      cb != sizeof v)
    return std::nullopt;
  return v;
}

std::optional<unsigned long long> GetQword(HKEY key, const char* value) {
  unsigned long long v = 0;
  DWORD type = 0, cb = sizeof v;
  if (RegQueryValueExA(key, value, &type, reinterpret_cast<BYTE*>(&v), &cb) != ERROR_SUCCESS || type != REG_QWORD ||
      cb != sizeof v)
    return std::nullopt;
  return v;
}

std::optional<std::string> GetString(HKEY key, const char* value) {
  DWORD type = 0, cb = 0;
  if (RegQueryValueExA(key, value, &type, nullptr, &cb) != ERROR_SUCCESS) return std::nullopt;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
  std::vector<char> buf(cb + 1, 0);
  if (RegQueryValueExA(key, value, &type, reinterpret_cast<BYTE*>(buf.data()), &cb) != ERROR_SUCCESS)
    return std::nullopt;
  return std::string(buf.data(), strnlen(buf.data(), cb));
}

LONG SetDword(HKEY key, const char* value, DWORD v) {
  return RegSetValueExA(key, value, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

LONG SetQword(HKEY key, const char* value, unsigned long long v) {
  return RegSetValueExA(key, value, REG_QWORD, reinterpret_cast<const BYTE*>(&v), sizeof v);
}

LONG SetString(HKEY key, const char* value, const std::string& v, DWORD type) {
  return RegSetValueExA(key, value, type, reinterpret_cast<const BYTE*>(v.c_str()), static_cast<DWORD>(v.size() + 1));
}

namespace {

void PutLe(BYTE* p, DWORD v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<BYTE>(v >> (8 * i));
}
DWORD GetLe(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}

}  // namespace

StatusRecord ReadStatus(HKEY statusKey) {
  StatusRecord rec;
  rec.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  rec.status.dwCurrentState = SERVICE_STOPPED;
  if (!statusKey) return rec;
  BYTE raw[36] = {};
  DWORD type = 0, cb = sizeof raw;
  if (RegQueryValueExA(statusKey, "ServiceStatus", &type, raw, &cb) != ERROR_SUCCESS || type != REG_BINARY ||
      cb != sizeof raw)
    return rec;
  DWORD f[9];
  for (int i = 0; i < 9; ++i) f[i] = GetLe(raw + 4 * i);
  if (f[1] < SERVICE_STOPPED || f[1] > SERVICE_PAUSED) return rec;  // a damaged record reads as stopped
  rec.status = SERVICE_STATUS{f[0], f[1], f[2], f[3], f[4], f[5], f[6]};
  rec.processId = f[7];
  rec.flags = f[8];
  return rec;
}

LONG WriteStatus(HKEY statusKey, const StatusRecord& rec) {
  const SERVICE_STATUS& s = rec.status;
  DWORD f[9] = {s.dwServiceType, s.dwCurrentState,      s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
                s.dwCheckPoint,  s.dwWaitHint,          rec.processId,        rec.flags};
  BYTE raw[36];
  for (int i = 0; i < 9; ++i) PutLe(raw + 4 * i, f[i]);
  LONG rc = RegSetValueExA(statusKey, "ServiceStatus", REG_BINARY, raw, sizeof raw);
  if (rc == ERROR_SUCCESS) rc = SetDword(statusKey, "CurrentState", s.dwCurrentState);
  return rc;
}

bool DeleteIfPending(const std::string& name) {
  Key st;
  if (OpenStatusKey(name, st, false) != ERROR_SUCCESS) return false;
  if (GetDword(st.get(), "DeletePending").value_or(0) != 1) return false;
  Key services;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServicesKey, 0, KEY_ALL_ACCESS, services.out()) != ERROR_SUCCESS) return false;
  return RegDeleteTreeA(services.get(), name.c_str()) == ERROR_SUCCESS;
}

int SignalFor(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP: return SIGTERM;
    case SERVICE_CONTROL_PAUSE: return SIGUSR1;
    case SERVICE_CONTROL_CONTINUE: return SIGUSR2;
    case SERVICE_CONTROL_INTERROGATE: return SIGHUP;
    default: return SIGRTMIN;
  }
}

}  // namespace zemir::platform::svc

namespace zemir::platform {

std::string ServiceKeyPath(const std::string& name) { return std::string(svc::kServicesKey) + "\\" + name; }

}  // namespace zemir::platform
