// encrypt_aes and decrypt_aes: AES-256-CBC, zero IV, SHA-1-derived key, PKCS #7 padding.
#include <cstring>

#include "zemir/common/trace.h"
#include "zemir/keys/aes.h"
#include "zemir/platform/module.h"

namespace zemir {

namespace {

void DeriveKey(const char* pass, BYTE key[32]) {
  std::memset(key, 0, 32);
  Sha1(pass, std::strlen(pass) + 1, key);  // the terminating NUL is part of the pass
}

}  // namespace

bool encrypt_aes(const char* pass, const BYTE* data, DWORD length, BYTE* out, DWORD* capacity) {
  if (!pass || !data || !length || !capacity) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DWORD padded = (length / 16 + 1) * 16;
  if (padded < length) {  // wraps only for lengths near 4 GiB
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!out || *capacity < padded) {
    *capacity = padded;
    SetLastError(ERROR_MORE_DATA);
    return false;
  }
  BYTE key[32];
  DeriveKey(pass, key);
  Aes256 aes(key);
  std::memset(key, 0, sizeof key);
  BYTE iv[16] = {};
  DWORD whole = length / 16;
  aes.EncryptCbc(iv, data, out, whole);
  BYTE last[16];
  DWORD rest = length - whole * 16;
  BYTE n = static_cast<BYTE>(16 - rest);
  std::memcpy(last, data + whole * 16, rest);
  std::memset(last + rest, n, n);
  aes.EncryptCbc(iv, last, out + whole * 16, 1);
  *capacity = padded;
  return true;
}

bool decrypt_aes(const char* pass, const BYTE* data, DWORD length, BYTE* out, DWORD* capacity) {
  if (!pass || !data || !length || !capacity) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!out || *capacity < length) {
    Trace("decrypt_aes len");
    *capacity = length;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  if (length % 16) {  // not a ciphertext of whole blocks
    Trace("decrypt_aes len %u", static_cast<unsigned>(length));
    SetLastError(ERROR_DECRYPTION_FAILED);
    return false;
  }
  BYTE key[32];
  DeriveKey(pass, key);
  Aes256 aes(key);
  std::memset(key, 0, sizeof key);
  BYTE iv[16] = {};
  aes.DecryptCbc(iv, data, out, length / 16);
  BYTE n = out[length - 1];
  bool ok = true;
  if (n == 0 || n > 16) {
    Trace("decrypt_aes paddding");
    ok = false;
  } else {
    for (DWORD i = length - n; i < length; ++i) {
      if (out[i] != n) {
        Trace("decrypt_aes cmp");
        ok = false;
        break;
      }
    }
  }
  if (!ok) {
    std::memset(out, 0, length);
    SetLastError(ERROR_DECRYPTION_FAILED);
    return false;
  }
  std::memset(out + length - n, 0, n);
  *capacity = length - n;
  return true;
}

}  // namespace zemir
