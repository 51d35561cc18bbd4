// Loadable modules (LoadLibrary, GetProcAddress, FreeLibrary) and the thread's last-error value.
#pragma once
#include <string>

#include "zemir/platform/win32.h"

namespace zemir {

constexpr LONG ERROR_MOD_NOT_FOUND = 126;
constexpr LONG ERROR_PROC_NOT_FOUND = 127;

// The thread's last-error value. It is the thread's errno, so a loaded module written in
// plain C reports its failure code the same way (set errno before returning failure) and
// the caller reads it with GetLastError right after the call.
DWORD GetLastError();
void SetLastError(DWORD code);

struct HINSTANCE__;
using HMODULE = HINSTANCE__*;

// Loads a module by its Windows name. "name.dll" (any case) is looked for as "name.so":
// first in the running program's folder, then in the folder named by the registry value
// ZemirPath under SOFTWARE\Zemir (a Windows or host path), then through the dynamic
// linker's search path. A name with a folder ("C:\x\name.dll", "/opt/x/name.so") is loaded
// from that folder only. Null on failure with last error 126 (module not found) or 193
// (found but not loadable).
HMODULE LoadLibraryA(const char* name);
// Null when the module has no such entry point (last error 127). FreeLibrary drops the
// reference; the module's code stays mapped until the process ends.
void* GetProcAddress(HMODULE module, const char* name);
bool FreeLibrary(HMODULE module);

namespace platform {
// The host file a module name resolves to, empty when none is found (for logs and tests).
std::string FindModuleFile(const char* name);
// The dynamic linker's text for the last failed load of this thread.
std::string LastLoadError();
}  // namespace platform

}  // namespace zemir
