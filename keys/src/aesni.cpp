// AES-256 with the AES-NI instructions: CBC encryption one block after the other (each needs the
// previous), CBC decryption eight blocks at a time. Built with -maes -msse4.1.
#include "aesni.h"

#include <cpuid.h>
#include <wmmintrin.h>
#include <smmintrin.h>

namespace zemir::aesni {

bool CpuSupported() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  return (c & (1u << 25)) && (c & (1u << 19));
}

void DecryptKeys(const BYTE enc[240], BYTE dec[240]) {
  const __m128i* e = reinterpret_cast<const __m128i*>(enc);
  __m128i* d = reinterpret_cast<__m128i*>(dec);
  _mm_storeu_si128(d, _mm_loadu_si128(e + 14));
  for (int i = 1; i < 14; ++i) _mm_storeu_si128(d + i, _mm_aesimc_si128(_mm_loadu_si128(e + 14 - i)));
  _mm_storeu_si128(d + 14, _mm_loadu_si128(e));
}

void EncryptCbc(const BYTE enc[240], BYTE iv[16], const BYTE* in, BYTE* out, size_t blocks) {
  __m128i k[15];
  for (int i = 0; i < 15; ++i) k[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(enc) + i);
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
  for (size_t b = 0; b < blocks; ++b) {
    x = _mm_xor_si128(x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in) + b));
    x = _mm_xor_si128(x, k[0]);
    for (int r = 1; r < 14; ++r) x = _mm_aesenc_si128(x, k[r]);
    x = _mm_aesenclast_si128(x, k[14]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + b, x);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), x);
}

void DecryptCbc(const BYTE dec[240], BYTE iv[16], const BYTE* in, BYTE* out, size_t blocks) {
  __m128i k[15];
  for (int i = 0; i < 15; ++i) k[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dec) + i);
  __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
  const __m128i* src = reinterpret_cast<const __m128i*>(in);
  __m128i* dst = reinterpret_cast<__m128i*>(out);
  size_t b = 0;
  for (; b + 8 <= blocks; b += 8) {
    __m128i c[8], x[8];
    for (int j = 0; j < 8; ++j) {
      c[j] = _mm_loadu_si128(src + b + j);
      x[j] = _mm_xor_si128(c[j], k[0]);
    }
    for (int r = 1; r < 14; ++r)
      for (int j = 0; j < 8; ++j) x[j] = _mm_aesdec_si128(x[j], k[r]);
    for (int j = 0; j < 8; ++j) x[j] = _mm_aesdeclast_si128(x[j], k[14]);
    _mm_storeu_si128(dst + b, _mm_xor_si128(x[0], prev));
    for (int j = 1; j < 8; ++j) _mm_storeu_si128(dst + b + j, _mm_xor_si128(x[j], c[j - 1]));
    prev = c[7];
  }
  for (; b < blocks; ++b) {
    __m128i c = _mm_loadu_si128(src + b);
    __m128i x = _mm_xor_si128(c, k[0]);
    for (int r = 1; r < 14; ++r) x = _mm_aesdec_si128(x, k[r]);
    x = _mm_aesdeclast_si128(x, k[14]);
    _mm_storeu_si128(dst + b, _mm_xor_si128(x, prev));
    prev = c;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(iv), prev);
}

}  // namespace zemir::aesni
