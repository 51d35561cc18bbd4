// Cryptographic random bytes (the system's random source).
#pragma once
#include <cstddef>

#include "zemir/platform/win32.h"

namespace zemir::platform {

// Fills `buf` with `len` random bytes from getrandom. False (buffer untouched past what was
// filled) when the source fails.
bool GenRandom(BYTE* buf, size_t len);

}  // namespace zemir::platform
