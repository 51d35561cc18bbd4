// The AES-NI path of Aes256; only called when the processor has the instructions.
#pragma once
#include <cstddef>

#include "zemir/platform/win32.h"

namespace zemir::aesni {

// cpuid: AES (leaf 1 ECX bit 25) and SSE4.1 (ECX bit 19).
bool CpuSupported();
// Inverse-cipher round keys from the 15 encryption round keys.
void DecryptKeys(const BYTE enc[240], BYTE dec[240]);
void EncryptCbc(const BYTE enc[240], BYTE iv[16], const BYTE* in, BYTE* out, size_t blocks);
void DecryptCbc(const BYTE dec[240], BYTE iv[16], const BYTE* in, BYTE* out, size_t blocks);

}  // namespace zemir::aesni
