// SHA-1 (FIPS 180-4).
#include <cstring>

#include "zemir/keys/aes.h"

namespace zemir {

namespace {

inline std::uint32_t Rol(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void Compress(std::uint32_t h[5], const BYTE* p) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i)
    w[i] = static_cast<std::uint32_t>(p[4 * i]) << 24 | static_cast<std::uint32_t>(p[4 * i + 1]) << 16 |
           static_cast<std::uint32_t>(p[4 * i + 2]) << 8 | p[4 * i + 3];
  for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    std::uint32_t t = Rol(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = Rol(b, 30);
    b = a;
    a = t;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
  h[4] += e;
}

}  // namespace

void Sha1(const void* data, size_t len, BYTE digest[20]) {
  std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  const BYTE* p = static_cast<const BYTE*>(data);
  size_t left = len;
  while (left >= 64) {
    Compress(h, p);
    p += 64;
    left -= 64;
  }
  BYTE tail[128] = {};
  if (left) std::memcpy(tail, p, left);
  tail[left] = 0x80;
  size_t tailLen = left < 56 ? 64 : 128;
  std::uint64_t bits = static_cast<std::uint64_t>(len) * 8;
  for (int i = 0; i < 8; ++i) tail[tailLen - 1 - i] = static_cast<BYTE>(bits >> (8 * i));
  Compress(h, tail);
  if (tailLen == 128) Compress(h, tail + 64);
  for (int i = 0; i < 5; ++i) {
    digest[4 * i] = static_cast<BYTE>(h[i] >> 24);
    digest[4 * i + 1] = static_cast<BYTE>(h[i] >> 16);
    digest[4 * i + 2] = static_cast<BYTE>(h[i] >> 8);
    digest[4 * i + 3] = static_cast<BYTE>(h[i]);
  }
}

}  // namespace zemir
