// Module loading over dlopen: Windows module names mapped to shared objects.
#include "zemir/platform/module.h"

#include <dirent.h>
#include <dlfcn.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "zemir/platform/fs.h"
#include "zemir/platform/prefix.h"
#include "zemir/platform/registry.h"

namespace zemir {

namespace {

thread_local std::string tLoadError;

bool IsFile(const std::string& p) {
  struct stat st{};
  return !p.empty() && stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file `name` in `dir`, matched without regard to case as Windows does; empty when none.
std::string FindIn(const std::string& dir, const std::string& name) {
  if (dir.empty()) return {};
  if (IsFile(dir + "/" + name)) return dir + "/" + name;
  std::string found;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (strcasecmp(e->d_name, name.c_str()) == 0 && IsFile(dir + "/" + e->d_name)) {
        found = dir + "/" + e->d_name;
        break;
      }
    }
    closedir(d);
  }
  return found;
}

// "name.dll" -> "name.so"; other names keep their spelling.
std::string SoName(std::string file) {
  if (file.size() > 4 && strcasecmp(file.c_str() + file.size() - 4, ".dll") == 0) {
    file.resize(file.size() - 4);
    file += ".so";
  }
  return file;
}

// ZemirPath under SOFTWARE\Zemir as a host folder, empty when unset.
std::string ZemirPathFolder() {
  HKEY k = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir", 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &k) != ERROR_SUCCESS)
    return {};
  char buf[1024] = {};
  DWORD type = 0, cb = sizeof buf - 1;
  std::string v;
  if (RegQueryValueExA(k, "ZemirPath", &type, reinterpret_cast<BYTE*>(buf), &cb) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ))
    v.assign(buf, strnlen(buf, cb));
  RegCloseKey(k);
  if (v.empty()) return {};
  return platform::HostPath(v);
}

}  // namespace

DWORD GetLastError() { return static_cast<DWORD>(errno); }
void SetLastError(DWORD code) { errno = static_cast<int>(code); }

namespace platform {

std::string FindModuleFile(const char* name) {
  if (!name || !*name) return {};
  std::string n = name;
  bool hasFolder = n.find('\\') != std::string::npos || n.find('/') != std::string::npos;
  if (hasFolder) {
    std::string host = HostPath(SoName(n));
    if (IsFile(host)) return host;
    auto slash = host.rfind('/');
    return slash == std::string::npos ? std::string() : FindIn(host.substr(0, slash), host.substr(slash + 1));
  }
  std::string so = SoName(n);
  std::string found = FindIn(ModuleDir(), so);
  if (!found.empty()) return found;
  std::string zp = ZemirPathFolder();
  while (zp.size() > 1 && zp.back() == '/') zp.pop_back();
  return FindIn(zp, so);
}

std::string LastLoadError() { return tLoadError; }

}  // namespace platform

HMODULE LoadLibraryA(const char* name) {
  tLoadError.clear();
  if (!name || !*name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string file = platform::FindModuleFile(name);
  bool hasFolder = std::strchr(name, '\\') || std::strchr(name, '/');
  if (file.empty() && !hasFolder) file = SoName(name);  // the dynamic linker's search path
  if (file.empty()) {
    tLoadError = std::string(name) + ": not found";
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // RTLD_NODELETE: FreeLibrary drops the reference but keeps the code mapped, so threads or
  // handlers a module left behind never run into unmapped memory, and its static state stays
  // reachable (libraries are released at process exit anyway).
  void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!h) {
    const char* e = dlerror();
    tLoadError = e ? e : "dlopen failed";
    // A file that exists but does not load is a bad image; anything else was not found.
    SetLastError(IsFile(file) ? 193 : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<HMODULE>(h);
}

void* GetProcAddress(HMODULE module, const char* name) {
  if (!module || !name) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  dlerror();
  void* p = dlsym(reinterpret_cast<void*>(module), name);
  if (!p) SetLastError(ERROR_PROC_NOT_FOUND);
  return p;
}

bool FreeLibrary(HMODULE module) {
  if (!module) return false;
  return dlclose(reinterpret_cast<void*>(module)) == 0;
}

}  // namespace zemir
