// The key library contract: the 13 entry points a key library exports with C linkage.
//
// Strings are narrow, NUL-terminated, in the ANSI code page, in caller-owned buffers valid
// during the call. A nonzero result means success; on failure the library leaves a code in
// the thread's last-error value (on this platform: errno), which callers log in hexadecimal.
#pragma once
#include <cstdint>

extern "C" {

// Pointer to an error text; an empty text means the library is ready. Called once after loading.
typedef const char* (*KeyLib_InitLibrary)(const char* text);
// Reader names, each NUL-terminated, one after the other, ended by an empty name.
typedef const char* (*KeyLib_IsAnyReaderConnected)(std::uint32_t flag);
typedef std::int32_t (*KeyLib_VerifyPIN)(const char* reader, const char* pin);
typedef std::int32_t (*KeyLib_ChangePIN)(const char* reader, const char* oldPin, const char* newPin);
// *length: capacity in, bytes stored out; success with 0 means the slot is empty.
typedef std::int32_t (*KeyLib_ReadData)(const char* reader, std::int32_t slot, unsigned char* data, std::uint32_t* length);
// *length: bytes to store in, bytes stored out.
typedef std::int32_t (*KeyLib_WriteData)(const char* reader, std::int32_t slot, unsigned char* data, std::uint32_t* length);
typedef std::int32_t (*KeyLib_DeleteData)(const char* reader, std::int32_t slot);
typedef void (*KeyLib_CloseLibrary)();
typedef std::uint32_t (*KeyLib_GetReaderSerialNumber)(const char* reader);
typedef std::int32_t (*KeyLib_IsReaderInserted)(const char* reader);
// Resolved and kept, never called by this system.
typedef std::int32_t (*KeyLib_DisplaySettingsDialog)();
typedef std::int32_t (*KeyLib_InitializeKey)();
typedef std::int32_t (*KeyLib_UnblockKey)();

}  // extern "C"
