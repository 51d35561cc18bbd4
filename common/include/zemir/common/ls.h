// The UI text catalogue: texts by numeric string id or by "txt" key, from the installed
// language files, with English and the compiled-in string table as fallbacks.
#pragma once
#include <string>

#include "zemir/common/ls_ids.h"  // IDS_... names of the string ids (generated)
#include "zemir/platform/win32.h"

namespace zemir {

// The text of a string id in the ANSI code page. Falls back to the compiled-in string table;
// never fails (an id that no table knows gives the empty text).
std::string LS(UINT id);
// The text of a "txt" key in the ANSI code page, from the installed language's script, else
// the English script (LS_EN), else the key itself.
std::string LS(const char* key);
inline std::string LS(const std::string& key) { return LS(key.c_str()); }
// The English text of a key, else the key itself.
std::string LS_EN(const char* key);
inline std::string LS_EN(const std::string& key) { return LS_EN(key.c_str()); }

// The compiled-in string table's English text of an id (UTF-8, "\n" as line feed); nullptr when
// the table has no such id.
const char* StringTableText(UINT id);

// The operating system's text test: true when the first `size` bytes look like UTF-16
// little-endian text (a byte-order mark FF FE, or the statistics of zero-extended characters).
bool IsTextUnicode(const void* buf, int size);

// Forgets the language files read so far, so the next lookup reads them again. With a folder,
// that folder stands in for the console executable's own folder (where "_zemir" is looked for).
void LS_ResetForTesting(const std::string& moduleDir = {});

}  // namespace zemir
