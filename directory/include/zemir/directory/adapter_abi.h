// The directory adapter's entry points: C linkage, UTF-16 strings, 32-bit status and handles.
#pragma once
#include <cstdint>

namespace zemir {

using ApStatus = std::int32_t;   // 0 = success
using ApHandle = std::uint32_t;  // opaque, 0 = none

// Status codes of the shipped adapter: 0x8007 facility codes in the HRESULT style, the low
// word holding the directory's result code (0x2000 + LDAP result code) or a Win32 error.
constexpr ApStatus ApStatusFromLdap(int ldapCode) {
  return static_cast<ApStatus>(0x80070000u | (0x2000u + static_cast<std::uint32_t>(ldapCode)));
}
constexpr ApStatus kApInvalidHandle = static_cast<ApStatus>(0x80070006u);
constexpr ApStatus kApInvalidArg = static_cast<ApStatus>(0x80070057u);
constexpr ApStatus kApOutOfMemory = static_cast<ApStatus>(0x8007000Eu);
constexpr ApStatus kApNotSupported = static_cast<ApStatus>(0x80070032u);

extern "C" {
using PFN_LDAP_OpenObject = ApStatus (*)(ApHandle* handle, const char16_t* path, void*, void*);
using PFN_LDAP_CloseObject = ApStatus (*)(ApHandle handle);
using PFN_LDAP_FlushObject = ApStatus (*)(ApHandle handle);
using PFN_LDAP_CreateObject = ApStatus (*)(ApHandle* handle, const char16_t* path, const char16_t* className, void*,
                                           void*);
using PFN_LDAP_DeleteObject = ApStatus (*)(const char16_t* path, void*, void*);
using PFN_LDAP_GetAttr = ApStatus (*)(ApHandle handle, const char16_t* name, char16_t** text);
using PFN_LDAP_SetAttr = ApStatus (*)(ApHandle handle, const char16_t* name, const char16_t* text);
using PFN_LDAP_GetChildren = ApStatus (*)(ApHandle handle, char16_t** list, std::uint32_t* length);
using PFN_LDAP_SearchChildren = ApStatus (*)(ApHandle handle, const char16_t* filter, char16_t** list,
                                             std::uint32_t* length);
using PFN_LDAP_IsApplicationPartitionExist = ApStatus (*)(const char16_t* path, void*, void*);
using PFN_LDAP_GetStatusDescription = ApStatus (*)(ApStatus status, char16_t** text);
using PFN_LDAP_FreeBuffer = ApStatus (*)(void* buffer);
using PFN_LDAP_SetLogFile = ApStatus (*)(const char16_t* fileName);
using PFN_LDAP_SetLogLevel = ApStatus (*)(std::uint32_t level);
// Sets an attribute from a typed value: type 0 text (value is const char16_t*), 1 a 32-bit
// integer (value is const std::int32_t*).
using PFN_LDAP_SetVariantAttr = ApStatus (*)(ApHandle handle, const char16_t* name, std::uint32_t type,
                                             const void* value);
}

}  // namespace zemir
