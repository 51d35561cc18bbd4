// .reg files: reading and writing the text form of registry keys and values, in the Unicode
// form ("Windows Registry Editor Version 5.00", UTF-16LE) and the ANSI form ("REGEDIT4").
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "zemir/platform/codepage.h"
#include "zemir/platform/registry.h"

namespace zemir {

enum class RegFileFormat {
  Unicode,  // "Windows Registry Editor Version 5.00": UTF-16LE with byte-order mark, CRLF
  Ansi,     // "REGEDIT4": the ANSI code page, CRLF
};

// One step of a .reg file, its names and data already in the registry's form: narrow text in
// the ANSI code page, REG_SZ / REG_EXPAND_SZ / REG_MULTI_SZ data with their terminators.
struct RegFileOp {
  enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
  Kind kind = Kind::CreateKey;
  int line = 0;  // where it stands in the file, for messages
  HKEY root = nullptr;
  std::string subkey;  // below the root
  std::string name;    // the value name; empty for the default value ("@")
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct RegFile {
  RegFileFormat format = RegFileFormat::Unicode;
  std::vector<RegFileOp> ops;
};

// Parses a whole .reg file (its bytes as read). Accepts UTF-16LE with byte-order mark, UTF-8
// with or without one, and ANSI text under the "REGEDIT4" header. On a malformed file returns
// false with "line N: reason" in `error`.
bool ParseRegFile(std::string_view bytes, RegFile& out, std::string& error, UINT codepage = CP_ACP);

// Applies parsed steps, all steps on one hive in one transaction: a failure undoes them all.
// Returns ERROR_SUCCESS or the failing call's code, with "line N: reason" in `error`.
LONG ApplyRegFile(const RegFile& file, std::string& error);

// Reads, parses and applies a file; nothing of a malformed file is applied.
LONG ImportRegFile(const std::string& path, std::string& error);

// The key `subkey` of `root` (empty: the root itself) and everything below it, as the bytes of
// a .reg file the way regedit writes it. ERROR_FILE_NOT_FOUND when the key does not exist.
LONG FormatRegFile(HKEY root, const std::string& subkey, RegFileFormat format, std::string& bytes,
                   UINT codepage = CP_ACP);

// FormatRegFile into `path`, written through a temporary file and a rename.
LONG ExportRegFile(HKEY root, const std::string& subkey, const std::string& path, RegFileFormat format,
                   std::string& error);

}  // namespace zemir
