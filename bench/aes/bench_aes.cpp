// Throughput of encrypt_aes and decrypt_aes on 8 KiB blocks beside OpenSSL's AES-256-CBC doing
// the same work per call (SHA-1 key derivation, key set-up, CBC with PKCS #7 padding).
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "zemir/keys/aes.h"

using namespace zemir;

namespace {

constexpr DWORD kBlock = 8192;
const char* kPass = "8406152937";

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

template <typename F>
double MiBPerSecond(F&& f, int& iterations) {
  // Run for about half a second after a short warm-up.
  for (int i = 0; i < 50; ++i) f();
  iterations = 0;
  auto start = std::chrono::steady_clock::now();
  while (Seconds(std::chrono::steady_clock::now() - start) < 0.5) {
    for (int i = 0; i < 100; ++i) f();
    iterations += 100;
  }
  double s = Seconds(std::chrono::steady_clock::now() - start);
  return iterations * static_cast<double>(kBlock) / s / (1024.0 * 1024.0);
}

bool OsslCrypt(bool enc, const BYTE* in, int len, BYTE* out, int* outLen, EVP_CIPHER_CTX* ctx) {
  BYTE key[32] = {};
  SHA1(reinterpret_cast<const unsigned char*>(kPass), std::strlen(kPass) + 1, key);
  BYTE iv[16] = {};
  int n1 = 0, n2 = 0;
  if (!EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv, enc ? 1 : 0)) return false;
  if (!EVP_CipherUpdate(ctx, out, &n1, in, len)) return false;
  if (!EVP_CipherFinal_ex(ctx, out + n1, &n2)) return false;
  *outLen = n1 + n2;
  return true;
}

}  // namespace

int main() {
  std::vector<BYTE> plain(kBlock), cipher(kBlock + 16), back(kBlock + 16), ref(kBlock + 32);
  for (DWORD i = 0; i < kBlock; ++i) plain[i] = static_cast<BYTE>(i * 31 + 7);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();

  DWORD cap = static_cast<DWORD>(cipher.size());
  if (!encrypt_aes(kPass, plain.data(), kBlock, cipher.data(), &cap)) return 1;
  int refLen = 0;
  if (!OsslCrypt(true, plain.data(), kBlock, ref.data(), &refLen, ctx) || refLen != static_cast<int>(cap) ||
      std::memcmp(ref.data(), cipher.data(), cap) != 0) {
    std::fprintf(stderr, "bench_aes: output differs from OpenSSL\n");
    return 1;
  }

  int n = 0;
  double ourEnc = MiBPerSecond([&] {
    DWORD c = static_cast<DWORD>(cipher.size());
    encrypt_aes(kPass, plain.data(), kBlock, cipher.data(), &c);
  }, n);
  double ourDec = MiBPerSecond([&] {
    DWORD c = static_cast<DWORD>(back.size());
    decrypt_aes(kPass, cipher.data(), kBlock + 16, back.data(), &c);
  }, n);
  double sslEnc = MiBPerSecond([&] {
    int l = 0;
    OsslCrypt(true, plain.data(), kBlock, ref.data(), &l, ctx);
  }, n);
  double sslDec = MiBPerSecond([&] {
    int l = 0;
    OsslCrypt(false, cipher.data(), kBlock + 16, ref.data(), &l, ctx);
  }, n);
  // The portable path alone (CBC over the same block, key set up once).
  BYTE key[32] = {1, 2, 3};
  Aes256 soft(key, false);
  double softEnc = MiBPerSecond([&] {
    BYTE iv[16] = {};
    soft.EncryptCbc(iv, plain.data(), cipher.data(), kBlock / 16);
  }, n);
  EVP_CIPHER_CTX_free(ctx);

  std::printf("AES-256-CBC on %u-byte blocks (key derivation and set-up per call), AES-NI %s\n", kBlock,
              Aes256::CpuHasAesNi() ? "in use" : "absent: portable path");
  std::printf("  encrypt_aes  %8.1f MiB/s   OpenSSL %8.1f MiB/s   ratio %.2f\n", ourEnc, sslEnc, ourEnc / sslEnc);
  std::printf("  decrypt_aes  %8.1f MiB/s   OpenSSL %8.1f MiB/s   ratio %.2f\n", ourDec, sslDec, ourDec / sslDec);
  std::printf("  portable path (no AES-NI) CBC encryption %8.1f MiB/s\n", softEnc);
  std::printf("  target: encryption ratio >= 0.50 on the AES-NI path: %s\n",
              !Aes256::CpuHasAesNi() ? "n/a" : ourEnc / sslEnc >= 0.5 ? "met" : "NOT met");
  return 0;
}
