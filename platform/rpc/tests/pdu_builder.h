// Hand-built client PDUs for the runtime's tests, in either byte order.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "zemir/platform/rpc/ndr.h"
#include "zemir/platform/rpc/pdu.h"

namespace zemir::rpc::test {

class Bytes {
 public:
  explicit Bytes(bool little = true) : little_(little) {}
  Bytes& u8(std::uint8_t v) {
    b_.push_back(v);
    return *this;
  }
  Bytes& u16(std::uint16_t v) {
    if (little_) b_.insert(b_.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
    else b_.insert(b_.end(), {std::uint8_t(v >> 8), std::uint8_t(v)});
    return *this;
  }
  Bytes& u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b_.push_back(std::uint8_t(v >> (little_ ? 8 * i : 8 * (3 - i))));
    return *this;
  }
  Bytes& raw(const std::vector<std::uint8_t>& v) {
    b_.insert(b_.end(), v.begin(), v.end());
    return *this;
  }
  Bytes& str(const std::string& s) {
    b_.insert(b_.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& align(std::size_t n) {
    while (b_.size() % n) b_.push_back(0);
    return *this;
  }
  Bytes& uuid(const char* text) {
    Uuid u;
    Uuid::Parse(text, &u);
    u32(u.d1).u16(u.d2).u16(u.d3);
    b_.insert(b_.end(), u.d4, u.d4 + 8);
    return *this;
  }
  std::vector<std::uint8_t>& v() { return b_; }
  bool little() const { return little_; }

 private:
  std::vector<std::uint8_t> b_;
  bool little_;
};

inline const char* kNdr20 = "8a885d04-1ceb-11c9-9fe8-08002b104860";
inline const char* kNdr64 = "71710533-beba-4937-8319-b5dbef9ccc36";
inline const char* kTestIf = "12345678-1234-abcd-ef00-0123456789ab";

// A whole PDU: header in the given byte order, body appended, frag_length filled in.
inline std::vector<std::uint8_t> Pdu(std::uint8_t ptype, std::uint8_t flags, std::uint32_t callId,
                                     const std::vector<std::uint8_t>& body, bool little = true,
                                     std::uint16_t authLength = 0) {
  Bytes h(little);
  h.u8(5).u8(0).u8(ptype).u8(flags).u8(little ? 0x10 : 0x00).u8(0).u8(0).u8(0);
  h.u16(static_cast<std::uint16_t>(16 + body.size())).u16(authLength).u32(callId);
  h.raw(body);
  return h.v();
}

struct Ctx {
  std::uint16_t id;
  const char* abstract;
  std::uint16_t major, minor;
  std::vector<std::pair<const char*, std::uint16_t>> transfers;  // uuid, major version
};

inline std::vector<std::uint8_t> BindPdu(std::uint8_t ptype, std::uint32_t callId, const std::vector<Ctx>& ctxs,
                                         bool little = true, std::uint16_t maxXmit = 4280,
                                         std::uint16_t maxRecv = 4280) {
  Bytes b(little);
  b.u16(maxXmit).u16(maxRecv).u32(0).u8(static_cast<std::uint8_t>(ctxs.size())).u8(0).u16(0);
  for (const auto& c : ctxs) {
    b.u16(c.id).u8(static_cast<std::uint8_t>(c.transfers.size())).u8(0);
    b.uuid(c.abstract).u32(c.major | std::uint32_t(c.minor) << 16);
    for (const auto& t : c.transfers) b.uuid(t.first).u32(t.second);
  }
  return Pdu(ptype, kPfcFirstFrag | kPfcLastFrag, callId, b.v(), little);
}

inline std::vector<std::uint8_t> RequestPdu(std::uint32_t callId, std::uint16_t ctx, std::uint16_t opnum,
                                            const std::vector<std::uint8_t>& stub,
                                            std::uint8_t flags = kPfcFirstFrag | kPfcLastFrag, bool little = true,
                                            std::uint32_t allocHint = 0) {
  Bytes b(little);
  b.u32(allocHint ? allocHint : static_cast<std::uint32_t>(stub.size())).u16(ctx).u16(opnum).raw(stub);
  return Pdu(kPtRequest, flags, callId, b.v(), little);
}

// Reads a little-endian integer from server output.
inline std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
         std::uint32_t(b[at + 3]) << 24;
}
inline std::uint16_t Le16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

}  // namespace zemir::rpc::test
