// NDR 2.0 reading and writing: a bounds- and alignment-checked cursor over stub data, and a writer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zemir::rpc {

// A DCE UUID as it travels: time_low, time_mid, time_hi_and_version in the sender's byte
// order, then eight bytes as they stand.
struct Uuid {
  std::uint32_t d1 = 0;
  std::uint16_t d2 = 0;
  std::uint16_t d3 = 0;
  std::uint8_t d4[8] = {};

  // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", either case. False on anything else.
  static bool Parse(const char* text, Uuid* out);
  std::string ToString() const;  // lower case
  bool operator==(const Uuid& o) const;
  bool operator!=(const Uuid& o) const { return !(*this == o); }
};

// Reads NDR data. Alignment is relative to the start of the buffer given (the stub start,
// or the PDU start for the protocol headers). Every read checks alignment padding and the
// bytes left first; the first failure latches: later reads fail too and nothing is read
// past the end. Integers follow the sender's byte order.
class NdrReader {
 public:
  NdrReader(const std::uint8_t* data, std::size_t size, bool littleEndian)
      : data_(data), size_(size), little_(littleEndian) {}

  bool ok() const { return ok_; }
  bool littleEndian() const { return little_; }
  std::size_t offset() const { return pos_; }
  std::size_t remaining() const { return ok_ ? size_ - pos_ : 0; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

  // Skips padding to the next multiple of `n` (1, 2, 4 or 8).
  bool Align(std::size_t n);
  bool Skip(std::size_t n);
  bool U8(std::uint8_t* v);
  bool I8(std::int8_t* v);
  bool U16(std::uint16_t* v);  // aligned to 2
  bool U32(std::uint32_t* v);  // aligned to 4
  bool I32(std::int32_t* v);   // aligned to 4
  // Raw bytes, no alignment (byte arrays, fixed arrays of char).
  bool Bytes(void* dst, std::size_t n);
  // Points at the next n bytes without copying; null on failure.
  const std::uint8_t* View(std::size_t n);
  bool ReadUuid(Uuid* v);  // aligned to 4

  // A conformant varying string of narrow characters ([string] char*): maximum count,
  // offset, actual count (all 32-bit), then actual-count characters with the terminating
  // NUL last. Refused (and the reader failed) when the offset is not 0, the actual count is
  // 0 or exceeds the maximum count, the characters run past the data, the last character is
  // not NUL or an earlier one is, or the text without its NUL is longer than `maxChars`.
  // The text is returned without its NUL.
  bool ConformantVaryingString(std::string* out, std::size_t maxChars);

  // Marks the reader failed (for semantic checks made by a stub).
  void Fail() { ok_ = false; }

 private:
  bool Need(std::size_t n);

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool little_;
  bool ok_ = true;
};

// Writes NDR data, always little-endian (the data representation 0x10 this runtime
// announces). Alignment is relative to the start of what this writer holds.
class NdrWriter {
 public:
  void Align(std::size_t n);
  void U8(std::uint8_t v) { buf_.push_back(v); }
  void I8(std::int8_t v) { buf_.push_back(static_cast<std::uint8_t>(v)); }
  void U16(std::uint16_t v);
  void U32(std::uint32_t v);
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void Bytes(const void* src, std::size_t n);
  void WriteUuid(const Uuid& u);
  // A conformant varying string with its NUL (maximum and actual count = size + 1).
  void ConformantVaryingString(const std::string& s);

  const std::vector<std::uint8_t>& bytes() const { return buf_; }
  std::vector<std::uint8_t>& bytes() { return buf_; }
  std::size_t size() const { return buf_.size(); }

 private:
  std::vector<std::uint8_t> buf_;
};

}  // namespace zemir::rpc
