#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "temp_prefix.h"
#include "zemir/common/trace.h"
#include "zemir/keys/aes.h"
#include "zemir/platform/module.h"

using namespace zemir;

namespace {

std::vector<BYTE> Hex(const std::string& h) {
  std::vector<BYTE> out;
  for (size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<BYTE>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

std::string ToHex(const BYTE* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

// The reference: OpenSSL's AES-256-CBC with the same key derivation, padding on or off.
std::vector<BYTE> OpenSslCbc(bool encrypt, const std::string& pass, const std::vector<BYTE>& in, bool pad = true) {
  BYTE key[32] = {};
  SHA1(reinterpret_cast<const unsigned char*>(pass.c_str()), pass.size() + 1, key);
  BYTE iv[16] = {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, pad ? 1 : 0);
  std::vector<BYTE> out(in.size() + 32);
  int n1 = 0, n2 = 0;
  EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size()));
  int ok = EVP_CipherFinal_ex(ctx, out.data() + n1, &n2);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(ok ? static_cast<size_t>(n1 + n2) : 0);
  return out;
}

}  // namespace

TEST(Crypto, Sha1KnownAnswers) {
  BYTE d[20];
  Sha1("", 0, d);
  EXPECT_EQ(ToHex(d, 20), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  Sha1("abc", 3, d);
  EXPECT_EQ(ToHex(d, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
  const char* two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  Sha1(two, std::strlen(two), d);
  EXPECT_EQ(ToHex(d, 20), "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  std::string million(1000000, 'a');
  Sha1(million.data(), million.size(), d);
  EXPECT_EQ(ToHex(d, 20), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
  // Lengths around the padding boundary agree with OpenSSL.
  for (size_t n = 50; n < 140; ++n) {
    std::string s(n, static_cast<char>('A' + n % 26));
    BYTE ref[20];
    SHA1(reinterpret_cast<const unsigned char*>(s.data()), n, ref);
    Sha1(s.data(), n, d);
    ASSERT_EQ(ToHex(d, 20), ToHex(ref, 20)) << n;
  }
}

TEST(Crypto, Aes256KnownAnswersOnBothPaths) {
  auto key = Hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  auto pt = Hex("00112233445566778899aabbccddeeff");
  for (bool hw : {false, true}) {
    Aes256 aes(key.data(), hw);
    BYTE ct[16], back[16];
    aes.EncryptBlock(pt.data(), ct);
    EXPECT_EQ(ToHex(ct, 16), "8ea2b7ca516745bfeafc49904b496089") << hw;
    aes.DecryptBlock(ct, back);
    EXPECT_EQ(ToHex(back, 16), ToHex(pt.data(), 16));
  }
  // CBC example vectors with a 256-bit key.
  auto k2 = Hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  auto p2 = Hex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const std::string c2 =
      "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b";
  for (bool hw : {false, true}) {
    Aes256 aes(k2.data(), hw);
    BYTE iv[16];
    for (int i = 0; i < 16; ++i) iv[i] = static_cast<BYTE>(i);
    std::vector<BYTE> out(64);
    aes.EncryptCbc(iv, p2.data(), out.data(), 4);
    EXPECT_EQ(ToHex(out.data(), 64), c2) << hw;
    for (int i = 0; i < 16; ++i) iv[i] = static_cast<BYTE>(i);
    aes.DecryptCbc(iv, out.data(), out.data(), 4);  // in place
    EXPECT_EQ(ToHex(out.data(), 64), ToHex(p2.data(), 64));
  }
  // The two paths agree on long runs (the hardware path decrypts eight blocks at a time).
  std::mt19937 rng(7);
  std::vector<BYTE> data(16 * 37);
  for (auto& b : data) b = static_cast<BYTE>(rng());
  Aes256 soft(k2.data(), false), fast(k2.data(), true);
  std::vector<BYTE> a(data.size()), b(data.size());
  BYTE iva[16] = {}, ivb[16] = {};
  soft.EncryptCbc(iva, data.data(), a.data(), 37);
  fast.EncryptCbc(ivb, data.data(), b.data(), 37);
  EXPECT_EQ(a, b);
  std::memset(iva, 0, 16);
  std::memset(ivb, 0, 16);
  soft.DecryptCbc(iva, a.data(), a.data(), 37);
  fast.DecryptCbc(ivb, b.data(), b.data(), 37);
  EXPECT_EQ(a, data);
  EXPECT_EQ(b, data);
}

TEST(Crypto, EncryptAesMatchesOpenSslForEveryLengthAndRandomPasses) {
  std::mt19937 rng(2958);
  std::vector<std::string> passes = {"2958", "8406152937", ""};
  for (int i = 0; i < 5; ++i) {
    std::string p(1 + rng() % 120, 'x');
    for (char& c : p) c = static_cast<char>(1 + rng() % 255);
    passes.push_back(p);
  }
  for (const std::string& pass : passes) {
    for (DWORD len = 0; len <= 100; ++len) {
      std::vector<BYTE> data(len + 1);
      for (auto& b : data) b = static_cast<BYTE>(rng());
      data.resize(len);
      std::vector<BYTE> out(128, 0xBD);
      DWORD cap = static_cast<DWORD>(out.size());
      SetLastError(0xdeadbeef);
      bool ok = encrypt_aes(pass.c_str(), len ? data.data() : out.data(), len, out.data(), &cap);
      if (len == 0) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), 87u);
        continue;
      }
      ASSERT_TRUE(ok);
      ASSERT_EQ(cap, (len / 16 + 1) * 16);
      EXPECT_EQ(out[cap], 0xBD);  // nothing past the padded length
      out.resize(cap);
      ASSERT_EQ(out, OpenSslCbc(true, pass, data)) << len;

      std::vector<BYTE> back(cap, 0xBD);
      DWORD bcap = cap;
      ASSERT_TRUE(decrypt_aes(pass.c_str(), out.data(), cap, back.data(), &bcap));
      ASSERT_EQ(bcap, len);
      EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
      for (DWORD i = len; i < cap; ++i) ASSERT_EQ(back[i], 0) << "padding bytes are zeroed";

      // OpenSSL's ciphertext decrypts here too.
      auto ref = OpenSslCbc(true, pass, data);
      bcap = cap;
      ASSERT_TRUE(decrypt_aes(pass.c_str(), ref.data(), cap, back.data(), &bcap));
      EXPECT_EQ(bcap, len);
    }
  }
  // A random plaintext run of 984 and 16 bytes: one more block of padding each.
  std::vector<BYTE> big(984, 1), out(1100);
  DWORD cap = static_cast<DWORD>(out.size());
  ASSERT_TRUE(encrypt_aes("2958", big.data(), 984, out.data(), &cap));
  EXPECT_EQ(cap, 992u);
  cap = static_cast<DWORD>(out.size());
  ASSERT_TRUE(encrypt_aes("2958", big.data(), 16, out.data(), &cap));
  EXPECT_EQ(cap, 32u);
}

TEST(Crypto, BadArgumentsAndPaddingFailuresAreRefusedAndLogged) {
  test::TempPrefix prefix;
  std::string log = prefix.path() + "/x.log";
  GetTraceMaker().Open(log.c_str(), 900);
  BYTE data[40] = {1, 2, 3}, out[64];
  DWORD cap = 16;
  SetLastError(0);
  EXPECT_FALSE(encrypt_aes("p", data, 20, out, &cap));
  EXPECT_EQ(cap, 32u);
  EXPECT_EQ(GetLastError(), 234u);
  cap = 64;
  EXPECT_FALSE(encrypt_aes(nullptr, data, 20, out, &cap));
  EXPECT_EQ(GetLastError(), 87u);
  cap = 64;
  EXPECT_FALSE(encrypt_aes("p", data, 20, nullptr, &cap));
  EXPECT_EQ(cap, 32u);

  cap = 16;
  EXPECT_FALSE(decrypt_aes("p", data, 32, out, &cap));
  EXPECT_EQ(cap, 32u);
  cap = 64;
  EXPECT_FALSE(decrypt_aes("p", data, 0, out, &cap));
  EXPECT_FALSE(decrypt_aes("p", data, 20, out, &cap));  // not whole blocks

  // Blocks whose decrypted padding is wrong: last byte 0, 17, and 4 with a mismatching byte.
  auto bad = [&](std::vector<BYTE> plain) {
    auto ct = OpenSslCbc(true, "pin", plain, false);
    std::vector<BYTE> o(ct.size(), 0xBD);
    DWORD c = static_cast<DWORD>(o.size());
    SetLastError(0);
    bool ok = decrypt_aes("pin", ct.data(), static_cast<DWORD>(ct.size()), o.data(), &c);
    EXPECT_EQ(GetLastError(), 6001u);
    for (BYTE b : o) EXPECT_EQ(b, 0);
    return ok;
  };
  std::vector<BYTE> p(32, 7);
  p[31] = 0;
  EXPECT_FALSE(bad(p));
  p[31] = 17;
  EXPECT_FALSE(bad(p));
  std::string text = test::ReadFile(log);
  EXPECT_EQ(text.find("decrypt_aes cmp"), std::string::npos);
  p[31] = 4;
  p[30] = 4;
  p[29] = 4;
  p[28] = 5;
  EXPECT_FALSE(bad(p));
  // A wrong pass gives one of the two padding failures.
  std::vector<BYTE> plain(10, 9);
  auto ct = OpenSslCbc(true, "right", plain);
  std::vector<BYTE> o(ct.size());
  DWORD c = static_cast<DWORD>(o.size());
  EXPECT_FALSE(decrypt_aes("wrong", ct.data(), static_cast<DWORD>(ct.size()), o.data(), &c) &&
               c == 10 && o[0] == 9);

  text = test::ReadFile(log);
  EXPECT_NE(text.find("decrypt_aes len"), std::string::npos);
  EXPECT_NE(text.find("decrypt_aes paddding"), std::string::npos);
  EXPECT_NE(text.find("decrypt_aes cmp"), std::string::npos);
}
