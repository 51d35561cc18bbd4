// NDR cursor and writer.
#include "zemir/platform/rpc/ndr.h"

#include <cstdio>
#include <cstring>

namespace zemir::rpc {

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

bool Uuid::Parse(const char* text, Uuid* out) {
  if (!text || std::strlen(text) != 36) return false;
  std::uint8_t b[16];
  int n = 0;
  for (int i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    int hi = HexValue(text[i]), lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    b[n++] = static_cast<std::uint8_t>(hi << 4 | lo);
    i += 2;
  }
  Uuid u;
  u.d1 = std::uint32_t(b[0]) << 24 | std::uint32_t(b[1]) << 16 | std::uint32_t(b[2]) << 8 | b[3];
  u.d2 = static_cast<std::uint16_t>(b[4] << 8 | b[5]);
  u.d3 = static_cast<std::uint16_t>(b[6] << 8 | b[7]);
  std::memcpy(u.d4, b + 8, 8);
  *out = u;
  return true;
}

std::string Uuid::ToString() const {
  char s[40];
  std::snprintf(s, sizeof s, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", d1, d2, d3, d4[0], d4[1], d4[2],
                d4[3], d4[4], d4[5], d4[6], d4[7]);
  return s;
}

bool Uuid::operator==(const Uuid& o) const {
  return d1 == o.d1 && d2 == o.d2 && d3 == o.d3 && std::memcmp(d4, o.d4, 8) == 0;
}

bool NdrReader::Need(std::size_t n) {
  if (!ok_ || n > size_ - pos_) {
    ok_ = false;
    return false;
  }
  return true;
}

bool NdrReader::Align(std::size_t n) {
  if (!ok_) return false;
  std::size_t pad = (n - pos_ % n) % n;
  if (!Need(pad)) return false;
  pos_ += pad;
  return true;
}

bool NdrReader::Skip(std::size_t n) {
  if (!Need(n)) return false;
  pos_ += n;
  return true;
}

bool NdrReader::U8(std::uint8_t* v) {
  if (!Need(1)) return false;
  *v = data_[pos_++];
  return true;
}

bool NdrReader::I8(std::int8_t* v) {
  std::uint8_t u;
  if (!U8(&u)) return false;
  *v = static_cast<std::int8_t>(u);
  return true;
}

bool NdrReader::U16(std::uint16_t* v) {
  if (!Align(2) || !Need(2)) return false;
  const std::uint8_t* p = data_ + pos_;
  *v = little_ ? static_cast<std::uint16_t>(p[0] | p[1] << 8) : static_cast<std::uint16_t>(p[0] << 8 | p[1]);
  pos_ += 2;
  return true;
}

bool NdrReader::U32(std::uint32_t* v) {
  if (!Align(4) || !Need(4)) return false;
  const std::uint8_t* p = data_ + pos_;
  if (little_)
    *v = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
  else
    *v = std::uint32_t(p[3]) | std::uint32_t(p[2]) << 8 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[0]) << 24;
  pos_ += 4;
  return true;
}

bool NdrReader::I32(std::int32_t* v) {
  std::uint32_t u;
  if (!U32(&u)) return false;
  *v = static_cast<std::int32_t>(u);
  return true;
}

bool NdrReader::Bytes(void* dst, std::size_t n) {
  if (!Need(n)) return false;
  if (n) std::memcpy(dst, data_ + pos_, n);
  pos_ += n;
  return true;
}

const std::uint8_t* NdrReader::View(std::size_t n) {
  if (!Need(n)) return nullptr;
  const std::uint8_t* p = data_ + pos_;
  pos_ += n;
  return p;
}

bool NdrReader::ReadUuid(Uuid* v) {
  Uuid u;
  if (!U32(&u.d1) || !U16(&u.d2) || !U16(&u.d3) || !Bytes(u.d4, 8)) return false;
  *v = u;
  return true;
}

bool NdrReader::ConformantVaryingString(std::string* out, std::size_t maxChars) {
  std::uint32_t maxCount = 0, offset = 0, actual = 0;
  if (!U32(&maxCount) || !U32(&offset) || !U32(&actual)) return false;
  if (offset != 0 || actual == 0 || actual > maxCount || actual - 1 > maxChars) {
    Fail();
    return false;
  }
  const std::uint8_t* p = View(actual);
  if (!p) return false;
  if (p[actual - 1] != 0 || std::memchr(p, 0, actual - 1) != nullptr) {
    Fail();
    return false;
  }
  out->assign(reinterpret_cast<const char*>(p), actual - 1);
  return true;
}

void NdrWriter::Align(std::size_t n) {
  while (buf_.size() % n) buf_.push_back(0);
}

void NdrWriter::U16(std::uint16_t v) {
  Align(2);
  buf_.push_back(static_cast<std::uint8_t>(v));
  buf_.push_back(static_cast<std::uint8_t>(v >> 8));
}

void NdrWriter::U32(std::uint32_t v) {
  Align(4);
  for (int i = 0; i < 4; ++i) buf_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void NdrWriter::Bytes(const void* src, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(src);
  buf_.insert(buf_.end(), p, p + n);
}

void NdrWriter::WriteUuid(const Uuid& u) {
  U32(u.d1);
  U16(u.d2);
  U16(u.d3);
  Bytes(u.d4, 8);
}

void NdrWriter::ConformantVaryingString(const std::string& s) {
  U32(static_cast<std::uint32_t>(s.size() + 1));
  U32(0);
  U32(static_cast<std::uint32_t>(s.size() + 1));
  Bytes(s.data(), s.size());
  U8(0);
}

}  // namespace zemir::rpc
