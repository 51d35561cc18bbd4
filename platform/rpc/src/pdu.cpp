// Connection-oriented PDU decoding and encoding.
#include "zemir/platform/rpc/pdu.h"

#include <algorithm>
#include <cstring>

namespace zemir::rpc {

namespace {

SyntaxId MakeSyntax(const char* uuid, std::uint16_t major, std::uint16_t minor) {
  SyntaxId s;
  Uuid::Parse(uuid, &s.uuid);
  s.major = major;
  s.minor = minor;
  return s;
}

bool ReadSyntax(NdrReader& r, SyntaxId* s) {
  std::uint32_t version = 0;
  if (!r.ReadUuid(&s->uuid) || !r.U32(&version)) return false;
  s->major = static_cast<std::uint16_t>(version & 0xFFFF);
  s->minor = static_cast<std::uint16_t>(version >> 16);
  return true;
}

void WriteSyntax(NdrWriter& w, const SyntaxId& s) {
  w.WriteUuid(s.uuid);
  w.U32(std::uint32_t(s.major) | std::uint32_t(s.minor) << 16);
}

// Writes a common header with frag_length 0; PatchLength fills it in.
void WriteHeader(NdrWriter& w, std::uint8_t ptype, std::uint8_t flags, std::uint32_t callId) {
  w.U8(5);
  w.U8(0);
  w.U8(ptype);
  w.U8(flags);
  w.U8(0x10);  // little-endian integers, ASCII characters
  w.U8(0);     // IEEE floating point
  w.U8(0);
  w.U8(0);
  w.U16(0);  // frag_length
  w.U16(0);  // auth_length
  w.U32(callId);
}

void PatchLength(std::vector<std::uint8_t>& b, std::size_t start) {
  std::size_t len = b.size() - start;
  b[start + 8] = static_cast<std::uint8_t>(len);
  b[start + 9] = static_cast<std::uint8_t>(len >> 8);
}

}  // namespace

const SyntaxId& Ndr20Syntax() {
  static const SyntaxId s = MakeSyntax("8a885d04-1ceb-11c9-9fe8-08002b104860", 2, 0);
  return s;
}

const SyntaxId& Ndr64Syntax() {
  static const SyntaxId s = MakeSyntax("71710533-beba-4937-8319-b5dbef9ccc36", 1, 0);
  return s;
}

bool IsFeatureNegotiation(const SyntaxId& s, std::uint16_t* features) {
  if (s.uuid.d1 != 0x6cb71c2c || s.uuid.d2 != 0x9812 || s.uuid.d3 != 0x4540) return false;
  for (int i = 2; i < 8; ++i)
    if (s.uuid.d4[i] != 0) return false;
  if (features) *features = static_cast<std::uint16_t>(s.uuid.d4[0] | s.uuid.d4[1] << 8);
  return true;
}

HeaderCheck ParseHeader(const std::uint8_t* data, std::size_t size, PduHeader* out) {
  if (size < kHeaderSize) return HeaderCheck::NeedMore;
  PduHeader h;
  h.version = data[0];
  h.minor = data[1];
  h.ptype = data[2];
  h.flags = data[3];
  std::memcpy(h.drep, data + 4, 4);
  if (h.version != 5 || h.minor > 1) return HeaderCheck::Bad;
  std::uint8_t intRep = h.drep[0] >> 4, charRep = h.drep[0] & 0x0F;
  if (intRep > 1 || charRep != 0) return HeaderCheck::Bad;
  NdrReader r(data, kHeaderSize, h.littleEndian());
  r.Skip(8);
  r.U16(&h.fragLength);
  r.U16(&h.authLength);
  r.U32(&h.callId);
  if (h.fragLength < kHeaderSize) return HeaderCheck::Bad;
  *out = h;
  return HeaderCheck::Ok;
}

bool ParseBind(const std::uint8_t* pdu, std::size_t size, const PduHeader& h, BindBody* out) {
  // The body ends where the authentication trailer (if any) starts.
  if (size < kHeaderSize) return false;
  NdrReader r(pdu, size, h.littleEndian());
  r.Skip(kHeaderSize);
  BindBody b;
  std::uint8_t count = 0, pad8 = 0;
  std::uint16_t pad16 = 0;
  if (!r.U16(&b.maxXmitFrag) || !r.U16(&b.maxRecvFrag) || !r.U32(&b.assocGroup) || !r.U8(&count) ||
      !r.U8(&pad8) || !r.U16(&pad16))
    return false;
  b.contexts.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    ContextElem e;
    std::uint8_t transfers = 0;
    if (!r.U16(&e.id) || !r.U8(&transfers) || !r.U8(&pad8) || !ReadSyntax(r, &e.abstract)) return false;
    // Each transfer syntax is 20 bytes: check they are there before reserving room for them.
    if (transfers == 0 || r.remaining() < std::size_t(transfers) * 20) return false;
    e.transfers.resize(transfers);
    for (auto& t : e.transfers)
      if (!ReadSyntax(r, &t)) return false;
    b.contexts.push_back(std::move(e));
  }
  *out = std::move(b);
  return true;
}

std::vector<std::uint8_t> BuildBindAck(std::uint8_t ptype, std::uint32_t callId, std::uint16_t maxXmit,
                                       std::uint16_t maxRecv, std::uint32_t assocGroup, const char* secAddr,
                                       const std::vector<ContextResult>& results) {
  NdrWriter w;
  WriteHeader(w, ptype, kPfcFirstFrag | kPfcLastFrag, callId);
  w.U16(maxXmit);
  w.U16(maxRecv);
  w.U32(assocGroup);
  std::size_t addrLen = secAddr && *secAddr ? std::strlen(secAddr) + 1 : 0;
  w.U16(static_cast<std::uint16_t>(addrLen));
  if (addrLen) w.Bytes(secAddr, addrLen);
  w.Align(4);
  w.U8(static_cast<std::uint8_t>(results.size()));
  w.U8(0);
  w.U16(0);
  for (const auto& res : results) {
    w.U16(res.result);
    w.U16(res.reason);
    WriteSyntax(w, res.transfer);
  }
  PatchLength(w.bytes(), 0);
  return std::move(w.bytes());
}

std::vector<std::uint8_t> BuildBindNak(std::uint32_t callId, std::uint16_t reason) {
  NdrWriter w;
  WriteHeader(w, kPtBindNak, kPfcFirstFrag | kPfcLastFrag, callId);
  w.U16(reason);
  w.U8(1);  // one protocol version supported: 5.0
  w.U8(5);
  w.U8(0);
  w.Align(4);
  PatchLength(w.bytes(), 0);
  return std::move(w.bytes());
}

bool ParseRequest(const std::uint8_t* pdu, std::size_t size, const PduHeader& h, RequestBody* out) {
  if (size < kHeaderSize || h.authLength != 0) return false;
  NdrReader r(pdu, size, h.littleEndian());
  r.Skip(kHeaderSize);
  RequestBody b;
  if (!r.U32(&b.allocHint) || !r.U16(&b.contextId) || !r.U16(&b.opnum)) return false;
  if (h.flags & kPfcObjectUuid) {
    b.hasObject = true;
    if (!r.ReadUuid(&b.object)) return false;
  }
  b.stubSize = r.remaining();
  b.stub = r.View(b.stubSize);
  *out = b;
  return true;
}

void AppendResponse(std::vector<std::uint8_t>* out, std::uint32_t callId, std::uint16_t contextId,
                    const std::uint8_t* stub, std::size_t stubSize, std::uint16_t maxXmitFrag) {
  std::size_t room = maxXmitFrag > kResponseHeaderSize + 8 ? maxXmitFrag - kResponseHeaderSize : 8;
  room -= room % 8;
  std::size_t done = 0;
  do {
    std::size_t chunk = std::min(room, stubSize - done);
    std::uint8_t flags = 0;
    if (done == 0) flags |= kPfcFirstFrag;
    if (done + chunk == stubSize) flags |= kPfcLastFrag;
    NdrWriter w;
    WriteHeader(w, kPtResponse, flags, callId);
    w.U32(static_cast<std::uint32_t>(stubSize - done));  // alloc_hint: what is left
    w.U16(contextId);
    w.U8(0);  // cancel count
    w.U8(0);
    w.Bytes(stub + done, chunk);
    PatchLength(w.bytes(), 0);
    out->insert(out->end(), w.bytes().begin(), w.bytes().end());
    done += chunk;
  } while (done < stubSize);
}

void AppendFault(std::vector<std::uint8_t>* out, std::uint32_t callId, std::uint16_t contextId, std::uint32_t status,
                 bool didNotExecute) {
  NdrWriter w;
  WriteHeader(w, kPtFault, kPfcFirstFrag | kPfcLastFrag | (didNotExecute ? kPfcDidNotExecute : 0), callId);
  w.U32(0);  // alloc_hint
  w.U16(contextId);
  w.U8(0);  // cancel count
  w.U8(0);
  w.U32(status);
  w.U32(0);
  PatchLength(w.bytes(), 0);
  out->insert(out->end(), w.bytes().begin(), w.bytes().end());
}

void AppendShutdown(std::vector<std::uint8_t>* out) {
  NdrWriter w;
  WriteHeader(w, kPtShutdown, kPfcFirstFrag | kPfcLastFrag, 0);
  PatchLength(w.bytes(), 0);
  out->insert(out->end(), w.bytes().begin(), w.bytes().end());
}

}  // namespace zemir::rpc
