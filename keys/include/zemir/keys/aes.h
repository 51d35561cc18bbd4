// AES-256 (FIPS 197) and SHA-1 (FIPS 180), and the key layer's encryption of key data.
#pragma once
#include <cstddef>
#include <cstdint>

#include "zemir/platform/win32.h"

namespace zemir {

// AES with a 256-bit key. Uses the processor's AES instructions when it has them (checked
// once at run time) and a table-driven path otherwise; both give the same bytes.
class Aes256 {
 public:
  // `allowHardware` false forces the portable path (tests compare the two).
  explicit Aes256(const BYTE key[32], bool allowHardware = true);
  ~Aes256();
  Aes256(const Aes256&) = delete;
  Aes256& operator=(const Aes256&) = delete;

  void EncryptBlock(const BYTE in[16], BYTE out[16]) const;
  void DecryptBlock(const BYTE in[16], BYTE out[16]) const;
  // CBC over `blocks` whole blocks; `iv` is updated to the last ciphertext block, so calls chain.
  // `in` and `out` may be the same buffer.
  void EncryptCbc(BYTE iv[16], const BYTE* in, BYTE* out, size_t blocks) const;
  void DecryptCbc(BYTE iv[16], const BYTE* in, BYTE* out, size_t blocks) const;

  bool usesHardware() const { return hw_; }
  // Whether this processor has the AES and SSE4.1 instructions.
  static bool CpuHasAesNi();

 private:
  alignas(16) BYTE encKeys_[240];  // 15 round keys, bytes in FIPS 197 order
  alignas(16) BYTE decKeys_[240];  // hardware path: inverse-cipher round keys
  std::uint32_t ek_[60];           // portable path: encryption schedule as words
  std::uint32_t dk_[60];           // portable path: equivalent inverse cipher schedule
  bool hw_ = false;
};

// SHA-1 digest (20 bytes) of `len` bytes.
void Sha1(const void* data, size_t len, BYTE digest[20]);

// Last-error value of a failed decryption.
constexpr DWORD ERROR_DECRYPTION_FAILED = 6001;

// AES-256-CBC with a zero IV; the key is SHA-1 of `pass` with its terminating NUL, followed
// by 12 zero bytes; PKCS #7 padding (1 to 16 bytes, always added).
// encrypt_aes: pass, data and length must be given (else last error 87, false); `out` must
// hold the padded length (else *capacity := padded length, last error 234, false). Success:
// *capacity := padded length.
bool encrypt_aes(const char* pass, const BYTE* data, DWORD length, BYTE* out, DWORD* capacity);
// decrypt_aes: pass, data and length must be given (else false); `out` must hold `length`
// bytes (else log "decrypt_aes len", *capacity := length, false); `length` must be whole
// blocks. A padding byte of 0 or above 16 logs "decrypt_aes paddding", padding bytes that
// differ log "decrypt_aes cmp"; both zero the output and leave last error 6001. Success:
// *capacity := length without the padding, whose bytes are zeroed in `out`.
bool decrypt_aes(const char* pass, const BYTE* data, DWORD length, BYTE* out, DWORD* capacity);

}  // namespace zemir
