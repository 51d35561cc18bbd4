// Code-page conversions between narrow text in a Windows code page and UTF-16 wide text.
#pragma once
#include <string>
#include <string_view>

#include "zemir/platform/win32.h"

namespace zemir {

constexpr UINT CP_ACP = 0;
constexpr UINT CP_UTF8 = 65001;

// The ANSI code page: the registry value ACP under SYSTEM\CurrentControlSet\Control\Nls\CodePage
// (read once per process and prefix), 1252 when it is missing or unusable.
UINT GetACP();
void ResetACPCache();

// WideCharToMultiByte without flags or default character: a character that the code page
// cannot hold becomes "?". The result is never cut short.
std::string WideToAnsi(std::u16string_view wide, UINT codepage = CP_ACP);
// MultiByteToWideChar: bytes the code page leaves undefined map to U+00xx.
std::u16string AnsiToWide(std::string_view narrow, UINT codepage = CP_ACP);

inline std::string WideToUtf8(std::u16string_view w) { return WideToAnsi(w, CP_UTF8); }
inline std::u16string Utf8ToWide(std::string_view s) { return AnsiToWide(s, CP_UTF8); }

}  // namespace zemir
