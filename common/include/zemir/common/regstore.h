// Single-value reads and writes of the product's registry data: narrow text in the ANSI code
// page, numbers as REG_DWORD or decimal text, binary data as REG_BINARY or hexadecimal text.
#pragma once
#include <string>

#include "zemir/platform/registry.h"

namespace zemir {

// The product key.
inline constexpr const char* kProductKey = "SOFTWARE\\Zemir";

// Fills `buf` (capacity `size`) with the value as text; REG_DWORD as signed decimal. A value
// that does not fit leaves the buffer empty. Returns `buf`.
char* ReadRegText(HKEY root, const char* subkey, const char* name, char* buf, DWORD size);
// The value under HKEY_LOCAL_MACHINE as text (REG_DWORD as unsigned decimal); empty, with a
// log line, when missing or longer than 1024 bytes.
std::string ReadRegString(const char* subkey, const char* name);
// The value as an integer: REG_DWORD, or decimal text; `def` when absent or not a number.
int ReadRegInt(HKEY root, const char* subkey, const char* name, int def);
// Binary value under HKEY_LOCAL_MACHINE into `buf` (capacity *len); hexadecimal text is
// decoded. With no buffer, the stored size. Returns the byte count, also left in *len.
DWORD ReadRegHex(const char* subkey, const char* name, BYTE* buf, DWORD* len);
// A value under "Software\Zemir\<subkey>", at most 500 bytes.
std::string ReadProductSubkeyValue(const char* subkey, const char* name);

// REG_SZ with the terminator counted; null text deletes the value.
bool WriteRegString(HKEY root, const char* subkey, const char* name, const char* text);
// REG_DWORD; 0xFFFFFFFF deletes the value.
bool WriteRegDword(HKEY root, const char* subkey, const char* name, DWORD value);
// REG_BINARY; null data deletes the value.
void WriteRegBinary(HKEY root, const char* subkey, const char* name, const BYTE* data, DWORD len);

// Upper-case hexadecimal; 4500 bytes or more give the first 4500 followed by "..".
std::string HexEncode(const BYTE* data, int len);
// Two characters per byte, stopping at the end of text or an unpaired character; never
// writes more than `capacity` bytes. Returns the bytes written.
int HexDecode(const char* text, BYTE* out, size_t capacity);

}  // namespace zemir
