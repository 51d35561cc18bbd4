// AES-256 (FIPS 197): table-driven portable path and the dispatch to the AES-NI path.
#include <cstring>

#include "aesni.h"
#include "zemir/keys/aes.h"

namespace zemir {

namespace {

inline std::uint32_t Ror8(std::uint32_t x) { return (x >> 8) | (x << 24); }
inline BYTE Xtime(BYTE x) { return static_cast<BYTE>((x << 1) ^ ((x & 0x80) ? 0x1B : 0)); }
BYTE Mul(BYTE a, BYTE b) {
  BYTE r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = Xtime(a);
    b >>= 1;
  }
  return r;
}

// S-boxes and round tables, computed once from the field arithmetic.
struct Tables {
  BYTE sbox[256], inv[256];
  std::uint32_t te[4][256], td[4][256];
  Tables() {
    // Walk the field with generator 3 and its inverse to get multiplicative inverses.
    BYTE p = 1, q = 1;
    do {
      p = static_cast<BYTE>(p ^ Xtime(p));  // p *= 3
      q ^= static_cast<BYTE>(q << 1);       // q /= 3
      q ^= static_cast<BYTE>(q << 2);
      q ^= static_cast<BYTE>(q << 4);
      if (q & 0x80) q ^= 0x09;
      BYTE x = static_cast<BYTE>(q ^ Rotl(q, 1) ^ Rotl(q, 2) ^ Rotl(q, 3) ^ Rotl(q, 4));
      sbox[p] = static_cast<BYTE>(x ^ 0x63);
    } while (p != 1);
    sbox[0] = 0x63;
    for (int i = 0; i < 256; ++i) inv[sbox[i]] = static_cast<BYTE>(i);
    for (int i = 0; i < 256; ++i) {
      BYTE s = sbox[i], is = inv[i];
      te[0][i] = static_cast<std::uint32_t>(Mul(s, 2)) << 24 | static_cast<std::uint32_t>(s) << 16 |
                 static_cast<std::uint32_t>(s) << 8 | Mul(s, 3);
      td[0][i] = static_cast<std::uint32_t>(Mul(is, 14)) << 24 | static_cast<std::uint32_t>(Mul(is, 9)) << 16 |
                 static_cast<std::uint32_t>(Mul(is, 13)) << 8 | Mul(is, 11);
      for (int t = 1; t < 4; ++t) {
        te[t][i] = Ror8(te[t - 1][i]);
        td[t][i] = Ror8(td[t - 1][i]);
      }
    }
  }
  static BYTE Rotl(BYTE x, int n) { return static_cast<BYTE>((x << n) | (x >> (8 - n))); }
};

const Tables& T() {
  static const Tables t;
  return t;
}

inline std::uint32_t Load32(const BYTE* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
inline void Store32(BYTE* p, std::uint32_t v) {
  p[0] = static_cast<BYTE>(v >> 24);
  p[1] = static_cast<BYTE>(v >> 16);
  p[2] = static_cast<BYTE>(v >> 8);
  p[3] = static_cast<BYTE>(v);
}

std::uint32_t SubWord(std::uint32_t w) {
  const BYTE* s = T().sbox;
  return static_cast<std::uint32_t>(s[w >> 24]) << 24 | static_cast<std::uint32_t>(s[(w >> 16) & 0xFF]) << 16 |
         static_cast<std::uint32_t>(s[(w >> 8) & 0xFF]) << 8 | s[w & 0xFF];
}

}  // namespace

bool Aes256::CpuHasAesNi() {
  static const bool has = aesni::CpuSupported();
  return has;
}

Aes256::Aes256(const BYTE key[32], bool allowHardware) {
  const Tables& t = T();
  for (int i = 0; i < 8; ++i) ek_[i] = Load32(key + 4 * i);
  std::uint32_t rcon = 1;
  for (int i = 8; i < 60; ++i) {
    std::uint32_t w = ek_[i - 1];
    if (i % 8 == 0) {
      w = SubWord((w << 8) | (w >> 24)) ^ (rcon << 24);
      rcon = Xtime(static_cast<BYTE>(rcon));
    } else if (i % 8 == 4) {
      w = SubWord(w);
    }
    ek_[i] = ek_[i - 8] ^ w;
  }
  for (int i = 0; i < 60; ++i) Store32(encKeys_ + 4 * i, ek_[i]);
  // Equivalent inverse cipher: round keys in reverse order, InvMixColumns on the inner ones.
  for (int r = 0; r <= 14; ++r) {
    for (int c = 0; c < 4; ++c) {
      std::uint32_t w = ek_[4 * (14 - r) + c];
      if (r != 0 && r != 14)
        w = t.td[0][t.sbox[w >> 24]] ^ t.td[1][t.sbox[(w >> 16) & 0xFF]] ^ t.td[2][t.sbox[(w >> 8) & 0xFF]] ^
            t.td[3][t.sbox[w & 0xFF]];
      dk_[4 * r + c] = w;
    }
  }
  hw_ = allowHardware && CpuHasAesNi();
  if (hw_) aesni::DecryptKeys(encKeys_, decKeys_);
}

Aes256::~Aes256() {
  volatile BYTE* p = encKeys_;
  for (size_t i = 0; i < sizeof encKeys_; ++i) p[i] = 0;
  std::memset(ek_, 0, sizeof ek_);
  std::memset(dk_, 0, sizeof dk_);
  std::memset(decKeys_, 0, sizeof decKeys_);
}

void Aes256::EncryptBlock(const BYTE in[16], BYTE out[16]) const {
  if (hw_) {
    BYTE iv[16] = {};
    aesni::EncryptCbc(encKeys_, iv, in, out, 1);
    return;
  }
  const Tables& t = T();
  const std::uint32_t* rk = ek_;
  std::uint32_t s0 = Load32(in) ^ rk[0], s1 = Load32(in + 4) ^ rk[1], s2 = Load32(in + 8) ^ rk[2],
                s3 = Load32(in + 12) ^ rk[3];
  for (int r = 1; r < 14; ++r) {
    rk += 4;
    std::uint32_t t0 = t.te[0][s0 >> 24] ^ t.te[1][(s1 >> 16) & 0xFF] ^ t.te[2][(s2 >> 8) & 0xFF] ^ t.te[3][s3 & 0xFF] ^ rk[0];
    std::uint32_t t1 = t.te[0][s1 >> 24] ^ t.te[1][(s2 >> 16) & 0xFF] ^ t.te[2][(s3 >> 8) & 0xFF] ^ t.te[3][s0 & 0xFF] ^ rk[1];
    std::uint32_t t2 = t.te[0][s2 >> 24] ^ t.te[1][(s3 >> 16) & 0xFF] ^ t.te[2][(s0 >> 8) & 0xFF] ^ t.te[3][s1 & 0xFF] ^ rk[2];
    std::uint32_t t3 = t.te[0][s3 >> 24] ^ t.te[1][(s0 >> 16) & 0xFF] ^ t.te[2][(s1 >> 8) & 0xFF] ^ t.te[3][s2 & 0xFF] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  const BYTE* s = t.sbox;
  auto last = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t k) {
    return (static_cast<std::uint32_t>(s[a >> 24]) << 24 | static_cast<std::uint32_t>(s[(b >> 16) & 0xFF]) << 16 |
            static_cast<std::uint32_t>(s[(c >> 8) & 0xFF]) << 8 | s[d & 0xFF]) ^ k;
  };
  Store32(out, last(s0, s1, s2, s3, rk[0]));
  Store32(out + 4, last(s1, s2, s3, s0, rk[1]));
  Store32(out + 8, last(s2, s3, s0, s1, rk[2]));
  Store32(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void Aes256::DecryptBlock(const BYTE in[16], BYTE out[16]) const {
  if (hw_) {
    BYTE iv[16] = {};
    aesni::DecryptCbc(decKeys_, iv, in, out, 1);
    return;
  }
  const Tables& t = T();
  const std::uint32_t* rk = dk_;
  std::uint32_t s0 = Load32(in) ^ rk[0], s1 = Load32(in + 4) ^ rk[1], s2 = Load32(in + 8) ^ rk[2],
                s3 = Load32(in + 12) ^ rk[3];
  for (int r = 1; r < 14; ++r) {
    rk += 4;
    std::uint32_t t0 = t.td[0][s0 >> 24] ^ t.td[1][(s3 >> 16) & 0xFF] ^ t.td[2][(s2 >> 8) & 0xFF] ^ t.td[3][s1 & 0xFF] ^ rk[0];
    std::uint32_t t1 = t.td[0][s1 >> 24] ^ t.td[1][(s0 >> 16) & 0xFF] ^ t.td[2][(s3 >> 8) & 0xFF] ^ t.td[3][s2 & 0xFF] ^ rk[1];
    std::uint32_t t2 = t.td[0][s2 >> 24] ^ t.td[1][(s1 >> 16) & 0xFF] ^ t.td[2][(s0 >> 8) & 0xFF] ^ t.td[3][s3 & 0xFF] ^ rk[2];
    std::uint32_t t3 = t.td[0][s3 >> 24] ^ t.td[1][(s2 >> 16) & 0xFF] ^ t.td[2][(s1 >> 8) & 0xFF] ^ t.td[3][s0 & 0xFF] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  const BYTE* s = t.inv;
  auto last = [&](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t k) {
    return (static_cast<std::uint32_t>(s[a >> 24]) << 24 | static_cast<std::uint32_t>(s[(b >> 16) & 0xFF]) << 16 |
            static_cast<std::uint32_t>(s[(c >> 8) & 0xFF]) << 8 | s[d & 0xFF]) ^ k;
  };
  Store32(out, last(s0, s3, s2, s1, rk[0]));
  Store32(out + 4, last(s1, s0, s3, s2, rk[1]));
  Store32(out + 8, last(s2, s1, s0, s3, rk[2]));
  Store32(out + 12, last(s3, s2, s1, s0, rk[3]));
}

void Aes256::EncryptCbc(BYTE iv[16], const BYTE* in, BYTE* out, size_t blocks) const {
  if (hw_) {
    aesni::EncryptCbc(encKeys_, iv, in, out, blocks);
    return;
  }
  BYTE x[16];
  for (size_t b = 0; b < blocks; ++b) {
    for (int i = 0; i < 16; ++i) x[i] = static_cast<BYTE>(in[16 * b + i] ^ iv[i]);
    EncryptBlock(x, out + 16 * b);
    std::memcpy(iv, out + 16 * b, 16);
  }
}

void Aes256::DecryptCbc(BYTE iv[16], const BYTE* in, BYTE* out, size_t blocks) const {
  if (hw_) {
    aesni::DecryptCbc(decKeys_, iv, in, out, blocks);
    return;
  }
  BYTE c[16], p[16];
  for (size_t b = 0; b < blocks; ++b) {
    std::memcpy(c, in + 16 * b, 16);
    DecryptBlock(c, p);
    for (int i = 0; i < 16; ++i) out[16 * b + i] = static_cast<BYTE>(p[i] ^ iv[i]);
    std::memcpy(iv, c, 16);
  }
}

}  // namespace zemir
