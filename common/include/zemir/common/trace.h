// The diagnostic log: one plain-text file per program, each line stamped with the local time.
#pragma once
#include <string>

#include "zemir/platform/win32.h"

namespace zemir {

// The two programs share the log class and differ in a few behaviours and buffer sizes.
enum class TraceVariant { Console, Service };

class CTraceMaker {
 public:
  // Stores the path (when logging is on) and writes the three header lines.
  void Open(const char* path, DWORD limitKb);
  // Appends one line: time stamp, text, "\r\n". Never reports a failure.
  void WriteLine(const char* text);

  void SetVariant(TraceVariant v) { variant_ = v; }
  TraceVariant variant() const { return variant_; }
  const std::string& path() const { return path_; }
  DWORD limitKb() const { return limitKb_; }

  // The stamp "%2d:%2d : %2d:%3d   " for the given time parts (17 characters).
  static std::string Stamp(int hour, int minute, int second, int ms);

 private:
  bool SwitchOff(bool* offInMachineHive) const;

  TraceVariant variant_ = TraceVariant::Console;
  std::string path_;  // at most 259 characters
  DWORD limitKb_ = 600;
};

// The process's log object, created on first call.
CTraceMaker& GetTraceMaker();

// printf-style; MSVC's "I32"/"I64" length modifiers are understood. Returns 0.
int Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Wide printf-style: %s takes a UTF-16 string (const char16_t*), %S a narrow one; the result
// is converted to the ANSI code page. Returns 0.
int TraceW(const char16_t* format, ...);
// "%s, %X, %s, %X" or, without the second text, "%s, %X".
void TraceCode(const char* text, DWORD code, const char* text2 = nullptr, DWORD code2 = 0);

// The program's file version: short "%d.%d", full "%d.%d.%d.%d". With a file path, reads the
// version marker compiled into that program instead of the running one. False when none.
bool GetModuleVersion(std::string* shortVersion, std::string* fullVersion, const char* file = nullptr);

// The build date in the compiler's form ("Dec  9 2026").
const char* BuildDate();

}  // namespace zemir
