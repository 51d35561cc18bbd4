// The emulated Windows registry: Win32-shaped key and value calls over SQLite databases
// kept in the prefix (HKEY_LOCAL_MACHINE in one, HKEY_CURRENT_USER in one per user).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zemir/platform/win32.h"

namespace zemir {

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;

// Predefined roots, with the numeric values Windows gives them.
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u));
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u));

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM DELETE_ACCESS = 0x00010000;
constexpr REGSAM KEY_READ = 0x00020019;
constexpr REGSAM KEY_WRITE = 0x00020006;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Opens an existing key below `root` (a predefined root or an open key). `subkey` may be
// null or empty to open `root` itself again. The 32-bit and 64-bit view flags are accepted;
// there is one view. Write access on a hive this process may not write gives 5.
LONG RegOpenKeyExA(HKEY root, const char* subkey, DWORD options, REGSAM sam, PHKEY result);
// Opens the key, creating it and every missing key on the way.
LONG RegCreateKeyExA(HKEY root, const char* subkey, REGSAM sam, PHKEY result, DWORD* disposition = nullptr);
LONG RegCloseKey(HKEY key);

// Reads a value. With `data` null and `cb` given, yields the size. When the value does not
// fit in *cb bytes, returns ERROR_MORE_DATA with the needed size in *cb (data untouched).
LONG RegQueryValueExA(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* cb);
LONG RegSetValueExA(HKEY key, const char* name, DWORD type, const BYTE* data, DWORD cb);
LONG RegDeleteValueA(HKEY key, const char* name);
// Deletes `subkey` of `key` with everything below it; a null subkey deletes the key's
// values and subkeys but keeps the key.
LONG RegDeleteTreeA(HKEY key, const char* subkey);
// Values in creation order, subkeys in name order; index past the end gives ERROR_NO_MORE_ITEMS.
// *cchName is the capacity of `name` in characters including the terminator.
LONG RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* cchName, DWORD* type, BYTE* data, DWORD* cb);
LONG RegEnumKeyExA(HKEY key, DWORD index, char* name, DWORD* cchName);

// Groups the calls this thread makes on one hive into a single transaction: they take effect
// together when it ends with `commit`, or not at all. Other threads of the process wait until
// it ends; other processes see nothing of it before the commit. Begin and end on one thread,
// and do not call RegResetConnections in between. Returns ERROR_INVALID_PARAMETER for a
// second begin on the same hive, or an end without a begin.
LONG RegBeginTransaction(HKEY root);
LONG RegEndTransaction(HKEY root, bool commit);

// An open key, closed when it goes out of scope.
struct ScopedKey {
  HKEY h = nullptr;
  ScopedKey() = default;
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  ~ScopedKey() { Reset(); }
  void Reset() {
    if (h) RegCloseKey(h);
    h = nullptr;
  }
};

// Convenience for tools and tests: whole enumerations in one call.
struct RegValue {
  std::string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};
LONG RegListValues(HKEY key, std::vector<RegValue>& out);
LONG RegListSubkeys(HKEY key, std::vector<std::string>& out);
// The full path of an open key, "HKEY_LOCAL_MACHINE\SOFTWARE\Zemir" (case as created).
std::string RegKeyPath(HKEY key);

// Parses "HKEY_LOCAL_MACHINE\..." / "HKLM\..." / "HKCU\..." into a root and a subkey.
bool RegSplitPath(const std::string& full, HKEY& root, std::string& subkey);

// Case folding used for key and value names (ASCII and Latin-1 letters).
std::string RegFoldCase(const std::string& s);

// A number that changes whenever anything in the hive of `root` (a predefined root) changes,
// in this process or another; cheaper than reading a value. False when the hive cannot be read.
bool RegChangeStamp(HKEY root, std::uint64_t& stamp);

// Drops the process's open databases; the next call reopens them (tests that change
// the prefix, or a process after fork).
void RegResetConnections();

}  // namespace zemir
