// Connection-oriented DCE/RPC protocol data units: the common header, the bind and request
// bodies a server reads, and the replies it builds (bind_ack, bind_nak, response fragments,
// fault, shutdown).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "zemir/platform/rpc/ndr.h"

namespace zemir::rpc {

// Packet types.
enum PType : std::uint8_t {
  kPtRequest = 0,
  kPtResponse = 2,
  kPtFault = 3,
  kPtBind = 11,
  kPtBindAck = 12,
  kPtBindNak = 13,
  kPtAlterContext = 14,
  kPtAlterContextResp = 15,
  kPtAuth3 = 16,
  kPtShutdown = 17,
  kPtCoCancel = 18,
  kPtOrphaned = 19,
};

// Header flags.
constexpr std::uint8_t kPfcFirstFrag = 0x01;
constexpr std::uint8_t kPfcLastFrag = 0x02;
constexpr std::uint8_t kPfcPendingCancel = 0x04;
constexpr std::uint8_t kPfcConcMpx = 0x10;
constexpr std::uint8_t kPfcDidNotExecute = 0x20;
constexpr std::uint8_t kPfcMaybe = 0x40;
constexpr std::uint8_t kPfcObjectUuid = 0x80;

constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kRequestHeaderSize = 24;   // header + alloc_hint, p_cont_id, opnum
constexpr std::size_t kResponseHeaderSize = 24;  // header + alloc_hint, p_cont_id, cancel_count, reserved
constexpr std::size_t kFaultSize = 32;
// Every implementation must accept fragments of this size.
constexpr std::uint16_t kMinFragment = 1432;

// Fault statuses.
constexpr std::uint32_t kNcaOpRangeError = 0x1C010002;   // nca_op_rng_error
constexpr std::uint32_t kNcaUnknownInterface = 0x1C010003;  // nca_unk_if
constexpr std::uint32_t kNcaProtocolError = 0x1C01000B;  // nca_proto_error
constexpr std::uint32_t kNcaRemoteNoMemory = 0x1C00001B;  // nca_s_fault_remote_no_memory
constexpr std::uint32_t kNcaFaultUnspecified = 0x1C000012;  // nca_s_fault_unspec
constexpr std::uint32_t kRpcAccessDenied = 5;             // also: request over the size limit
constexpr std::uint32_t kRpcBadStubData = 0x6F7;          // RPC_X_BAD_STUB_DATA

// Presentation context results and reasons in bind_ack / alter_context_resp.
constexpr std::uint16_t kResultAcceptance = 0;
constexpr std::uint16_t kResultUserRejection = 1;
constexpr std::uint16_t kResultProviderRejection = 2;
constexpr std::uint16_t kResultNegotiateAck = 3;  // bind-time feature negotiation answer
constexpr std::uint16_t kReasonNotSpecified = 0;
constexpr std::uint16_t kReasonAbstractSyntaxNotSupported = 1;
constexpr std::uint16_t kReasonTransferSyntaxesNotSupported = 2;
constexpr std::uint16_t kReasonLocalLimitExceeded = 3;

// bind_nak reasons.
constexpr std::uint16_t kNakNotSpecified = 0;
constexpr std::uint16_t kNakTemporaryCongestion = 1;
constexpr std::uint16_t kNakLocalLimitExceeded = 2;
constexpr std::uint16_t kNakProtocolVersionNotSupported = 4;
constexpr std::uint16_t kNakAuthenticationTypeNotRecognized = 8;

// Bind-time feature negotiation bits (carried in the transfer syntax UUID and in the reason).
constexpr std::uint16_t kFeatureSecurityContextMultiplexing = 0x01;
constexpr std::uint16_t kFeatureKeepConnectionOnOrphan = 0x02;

struct SyntaxId {
  Uuid uuid;
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  bool operator==(const SyntaxId& o) const { return uuid == o.uuid && major == o.major && minor == o.minor; }
};

// NDR 2.0 and NDR64 transfer syntaxes.
const SyntaxId& Ndr20Syntax();
const SyntaxId& Ndr64Syntax();
// True when `s` is a bind-time feature negotiation syntax (6cb71c2c-9812-4540-....); the
// proposed bitmask is the first two bytes of the last eight, little-endian.
bool IsFeatureNegotiation(const SyntaxId& s, std::uint16_t* features);

struct PduHeader {
  std::uint8_t version = 5;
  std::uint8_t minor = 0;
  std::uint8_t ptype = 0;
  std::uint8_t flags = 0;
  std::uint8_t drep[4] = {0x10, 0, 0, 0};
  std::uint16_t fragLength = 0;
  std::uint16_t authLength = 0;
  std::uint32_t callId = 0;

  bool littleEndian() const { return (drep[0] & 0xF0) == 0x10; }
};

enum class HeaderCheck { Ok, NeedMore, Bad };
// Reads the 16-byte common header from the first bytes of a stream. Bad when the version is
// not 5.0/5.1, the integer representation is neither big- nor little-endian, the character
// representation is not ASCII, or frag_length is below the header size.
HeaderCheck ParseHeader(const std::uint8_t* data, std::size_t size, PduHeader* out);

struct ContextElem {
  std::uint16_t id = 0;
  SyntaxId abstract;
  std::vector<SyntaxId> transfers;
};

// bind and alter_context bodies.
struct BindBody {
  std::uint16_t maxXmitFrag = 0;
  std::uint16_t maxRecvFrag = 0;
  std::uint32_t assocGroup = 0;
  std::vector<ContextElem> contexts;
};
// `pdu` is the whole fragment (header included, frag_length bytes). False when it does not decode.
bool ParseBind(const std::uint8_t* pdu, std::size_t size, const PduHeader& h, BindBody* out);

struct ContextResult {
  std::uint16_t result = 0;
  std::uint16_t reason = 0;
  SyntaxId transfer;  // zero unless accepted
};

// bind_ack (ptype kPtBindAck) or alter_context_resp (kPtAlterContextResp). `secAddr` is the
// port text ("4747"), sent with its NUL; empty sends length 0.
std::vector<std::uint8_t> BuildBindAck(std::uint8_t ptype, std::uint32_t callId, std::uint16_t maxXmit,
                                       std::uint16_t maxRecv, std::uint32_t assocGroup, const char* secAddr,
                                       const std::vector<ContextResult>& results);
std::vector<std::uint8_t> BuildBindNak(std::uint32_t callId, std::uint16_t reason);

struct RequestBody {
  std::uint32_t allocHint = 0;
  std::uint16_t contextId = 0;
  std::uint16_t opnum = 0;
  bool hasObject = false;
  Uuid object;
  const std::uint8_t* stub = nullptr;  // points into the fragment
  std::size_t stubSize = 0;
};
bool ParseRequest(const std::uint8_t* pdu, std::size_t size, const PduHeader& h, RequestBody* out);

// Appends the response to `out` as as many fragments as `maxXmitFrag` needs; every fragment
// but the last carries a multiple of 8 stub bytes.
void AppendResponse(std::vector<std::uint8_t>* out, std::uint32_t callId, std::uint16_t contextId,
                    const std::uint8_t* stub, std::size_t stubSize, std::uint16_t maxXmitFrag);
void AppendFault(std::vector<std::uint8_t>* out, std::uint32_t callId, std::uint16_t contextId, std::uint32_t status,
                 bool didNotExecute);
void AppendShutdown(std::vector<std::uint8_t>* out);

}  // namespace zemir::rpc
