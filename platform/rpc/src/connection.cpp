// Per-connection protocol engine: bind negotiation, reassembly, fault policy.
#include "zemir/platform/rpc/connection.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace zemir::rpc {

namespace {

std::atomic<std::uint32_t> g_nextAssocGroup{0x1000};

// Features this runtime grants in bind-time feature negotiation. It keeps the connection
// after an orphaned call; it has no security contexts, so multiplexing them is vacuous.
constexpr std::uint16_t kSupportedFeatures = kFeatureSecurityContextMultiplexing | kFeatureKeepConnectionOnOrphan;

std::string Fmt(const char* format, unsigned a = 0, unsigned b = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, format, a, b);
  return buf;
}

}  // namespace

RpcConnection::RpcConnection(const std::vector<RpcInterface>* interfaces, ConnectionLimits limits,
                             std::string secAddr, LogFn log)
    : ifs_(interfaces), limits_(limits), secAddr_(std::move(secAddr)), log_(std::move(log)) {
  if (limits_.maxFragment < kMinFragment) limits_.maxFragment = kMinFragment;
  maxXmit_ = maxRecv_ = limits_.maxFragment;
}

void RpcConnection::Close(const std::string& why) {
  if (!closing_) Log("RPC connection closed: " + why);
  closing_ = true;
  in_.clear();
  queued_.clear();
  assembling_ = discarding_ = false;
  partial_.stub = {};
}

bool RpcConnection::Receive(const std::uint8_t* data, std::size_t size) {
  while (size > 0 && !closing_) {
    // Take the header first, then exactly the rest of the fragment: never more than one
    // fragment is held, and never more than the frag_length limit allows.
    PduHeader h;
    std::size_t want = kHeaderSize;
    if (in_.size() >= kHeaderSize) {
      ParseHeader(in_.data(), in_.size(), &h);
      want = h.fragLength;
    }
    std::size_t take = std::min(size, want - in_.size());
    in_.insert(in_.end(), data, data + take);
    data += take;
    size -= take;
    if (in_.size() < want) break;
    if (want == kHeaderSize) {
      HeaderCheck c = ParseHeader(in_.data(), in_.size(), &h);
      if (c == HeaderCheck::Bad) {
        if (in_[2] == kPtBind && (in_[0] != 5 || in_[1] > 1)) Append(BuildBindNak(0, kNakProtocolVersionNotSupported));
        Close("bad PDU header");
        break;
      }
      std::uint16_t limit = bound_ ? maxRecv_ : limits_.maxFragment;
      if (h.fragLength > limit) {
        Close(Fmt("frag_length %u over the limit %u", h.fragLength, limit));
        break;
      }
      if (h.fragLength > kHeaderSize) continue;  // read the body
    }
    std::vector<std::uint8_t> pdu;
    pdu.swap(in_);
    HandlePdu(h, pdu.data(), pdu.size());
  }
  return !closing_;
}

void RpcConnection::HandlePdu(const PduHeader& h, const std::uint8_t* pdu, std::size_t size) {
  switch (h.ptype) {
    case kPtBind:
      HandleBind(h, pdu, size, false);
      return;
    case kPtAlterContext:
      HandleBind(h, pdu, size, true);
      return;
    case kPtRequest:
      HandleRequest(h, pdu, size);
      return;
    case kPtOrphaned:
      // The client gave up on a call: drop what is held of it and any answer still to come.
      if (assembling_ && partial_.callId == h.callId) {
        assembling_ = false;
        partial_.stub = {};
      }
      if (discarding_ && discardCallId_ == h.callId) discarding_ = false;
      queued_.erase(std::remove_if(queued_.begin(), queued_.end(),
                                   [&](const PendingCall& c) { return c.callId == h.callId; }),
                    queued_.end());
      if (running_ && runningCallId_ == h.callId) runningOrphaned_ = true;
      return;
    case kPtCoCancel:
      // Handlers cannot be interrupted: a cancelled call runs to its end and answers normally.
      Log(Fmt("RPC cancel for call %u (runs to completion)", h.callId));
      return;
    case kPtAuth3:
      return;  // no authentication is negotiated; nothing to do
    default:
      Close(Fmt("unexpected PDU type %u", h.ptype));
      return;
  }
}

ContextResult RpcConnection::EvaluateContext(const ContextElem& e, std::optional<std::size_t>* accepted) const {
  ContextResult r;
  for (const auto& t : e.transfers) {
    std::uint16_t features = 0;
    if (IsFeatureNegotiation(t, &features)) {
      r.result = kResultNegotiateAck;
      r.reason = features & kSupportedFeatures;
      return r;
    }
  }
  std::optional<std::size_t> found;
  for (std::size_t i = 0; i < ifs_->size(); ++i) {
    const auto& itf = (*ifs_)[i];
    if (itf.uuid == e.abstract.uuid && itf.major == e.abstract.major && e.abstract.minor <= itf.minor) {
      found = i;
      break;
    }
  }
  if (!found) {
    r.result = kResultProviderRejection;
    r.reason = kReasonAbstractSyntaxNotSupported;
    return r;
  }
  for (const auto& t : e.transfers) {
    if (t == Ndr20Syntax()) {
      if (!contexts_.count(e.id) && contexts_.size() >= limits_.maxContexts) {
        r.result = kResultProviderRejection;
        r.reason = kReasonLocalLimitExceeded;
        return r;
      }
      r.result = kResultAcceptance;
      r.reason = 0;
      r.transfer = Ndr20Syntax();
      *accepted = found;
      return r;
    }
  }
  r.result = kResultProviderRejection;
  r.reason = kReasonTransferSyntaxesNotSupported;
  return r;
}

void RpcConnection::HandleBind(const PduHeader& h, const std::uint8_t* pdu, std::size_t size, bool alter) {
  if (alter && !bound_) {
    Close("alter_context before bind");
    return;
  }
  if (!alter && bound_) {
    Append(BuildBindNak(h.callId, kNakNotSpecified));
    Close("second bind on one connection");
    return;
  }
  if (h.authLength != 0) {
    if (!alter) {
      Append(BuildBindNak(h.callId, kNakAuthenticationTypeNotRecognized));
      Log("RPC bind with authentication refused");
      return;
    }
    AppendFault(&out_, h.callId, 0, kRpcAccessDenied, true);
    Close("alter_context with authentication");
    return;
  }
  if ((h.flags & (kPfcFirstFrag | kPfcLastFrag)) != (kPfcFirstFrag | kPfcLastFrag)) {
    Close("fragmented bind");
    return;
  }
  BindBody b;
  if (!ParseBind(pdu, size, h, &b) || b.contexts.empty()) {
    if (!alter) Append(BuildBindNak(h.callId, kNakNotSpecified));
    else AppendFault(&out_, h.callId, 0, kNcaProtocolError, true);
    Close("bind does not decode");
    return;
  }
  if (!alter) {
    if (b.maxXmitFrag < kMinFragment || b.maxRecvFrag < kMinFragment) {
      Append(BuildBindNak(h.callId, kNakLocalLimitExceeded));
      Log(Fmt("RPC bind refused: fragment sizes %u/%u below the minimum", b.maxXmitFrag, b.maxRecvFrag));
      return;
    }
    maxXmit_ = std::min<std::uint16_t>(b.maxRecvFrag, limits_.maxFragment);
    maxRecv_ = std::min<std::uint16_t>(b.maxXmitFrag, limits_.maxFragment);
    assocGroup_ = b.assocGroup ? b.assocGroup : g_nextAssocGroup.fetch_add(1);
  }
  std::vector<ContextResult> results;
  results.reserve(b.contexts.size());
  for (const auto& e : b.contexts) {
    std::optional<std::size_t> accepted;
    results.push_back(EvaluateContext(e, &accepted));
    if (accepted) contexts_[e.id] = *accepted;
  }
  std::vector<std::uint8_t> ack = BuildBindAck(alter ? kPtAlterContextResp : kPtBindAck, h.callId, maxXmit_, maxRecv_,
                                               assocGroup_, alter ? "" : secAddr_.c_str(), results);
  Append(ack);
  bound_ = true;
}

void RpcConnection::HandleRequest(const PduHeader& h, const std::uint8_t* pdu, std::size_t size) {
  if (!bound_) {
    Close("request before bind");
    return;
  }
  if (h.authLength != 0) {
    AppendFault(&out_, h.callId, 0, kRpcAccessDenied, true);
    Close("request with authentication");
    return;
  }
  RequestBody rq;
  if (!ParseRequest(pdu, size, h, &rq)) {
    AppendFault(&out_, h.callId, 0, kNcaProtocolError, true);
    Close("request header does not decode");
    return;
  }
  bool first = h.flags & kPfcFirstFrag, last = h.flags & kPfcLastFrag;

  if (discarding_) {
    // The rest of a call already answered with a fault.
    if (h.callId != discardCallId_ || first) {
      Close("fragments of two calls interleaved");
      return;
    }
    if (last) discarding_ = false;
    return;
  }
  if (assembling_) {
    if (first || h.callId != partial_.callId) {
      Close("fragments of two calls interleaved");
      return;
    }
  } else {
    if (!first) {
      Close(Fmt("middle fragment of unknown call %u", h.callId));
      return;
    }
    auto ctx = contexts_.find(rq.contextId);
    RpcStatus refuse = 0;
    std::size_t index = 0;
    if (ctx == contexts_.end()) {
      refuse = kNcaUnknownInterface;
    } else {
      index = ctx->second;
      if (rq.opnum >= (*ifs_)[index].ops.size() || !(*ifs_)[index].ops[rq.opnum]) refuse = kNcaOpRangeError;
    }
    if (refuse) {
      Log(Fmt("RPC call refused: context %u, operation %u", rq.contextId, rq.opnum));
      AppendFault(&out_, h.callId, rq.contextId, refuse, true);
      if (!last) {
        discarding_ = true;
        discardCallId_ = h.callId;
      }
      return;
    }
    if (queued_.size() >= limits_.maxQueuedCalls) {
      Close("too many calls queued on one connection");
      return;
    }
    assembling_ = true;
    partial_ = PendingCall{};
    partial_.callId = h.callId;
    partial_.contextId = rq.contextId;
    partial_.opnum = rq.opnum;
    partial_.littleEndian = h.littleEndian();
    partial_.maybe = h.flags & kPfcMaybe;
    partial_.interfaceIndex = index;
  }
  // The alloc_hint is only a claim: memory grows with the bytes that really arrive, and
  // never past the interface's request limit.
  const std::size_t limit = (*ifs_)[partial_.interfaceIndex].maxRequestBytes;
  if (partial_.stub.size() + rq.stubSize > limit) {
    Log(Fmt("RPC request over %u bytes refused (call %u)", static_cast<unsigned>(limit), h.callId));
    AppendFault(&out_, h.callId, partial_.contextId, kRpcAccessDenied, true);
    assembling_ = false;
    partial_.stub = {};
    if (!last) {
      discarding_ = true;
      discardCallId_ = h.callId;
    }
    return;
  }
  partial_.stub.insert(partial_.stub.end(), rq.stub, rq.stub + rq.stubSize);
  if (!last) return;
  assembling_ = false;
  queued_.push_back(std::move(partial_));
  partial_ = PendingCall{};
}

std::optional<PendingCall> RpcConnection::TakeCall() {
  if (running_ || closing_ || queued_.empty()) return std::nullopt;
  PendingCall c = std::move(queued_.front());
  queued_.pop_front();
  running_ = true;
  runningCallId_ = c.callId;
  runningOrphaned_ = false;
  return c;
}

void RpcConnection::CompleteCall(const PendingCall& call, RpcStatus status, const std::vector<std::uint8_t>& stubOut) {
  bool orphaned = runningOrphaned_;
  running_ = false;
  runningOrphaned_ = false;
  if (orphaned || closing_ || call.maybe) return;
  if (status == 0)
    AppendResponse(&out_, call.callId, call.contextId, stubOut.data(), stubOut.size(), maxXmit_);
  else
    AppendFault(&out_, call.callId, call.contextId, status, false);
}

RpcStatus RpcConnection::Execute(const std::vector<RpcInterface>& interfaces, const PendingCall& call,
                                 std::vector<std::uint8_t>* stubOut) {
  stubOut->clear();
  if (call.interfaceIndex >= interfaces.size()) return kNcaUnknownInterface;
  const auto& ops = interfaces[call.interfaceIndex].ops;
  if (call.opnum >= ops.size() || !ops[call.opnum]) return kNcaOpRangeError;
  NdrReader in(call.stub.data(), call.stub.size(), call.littleEndian);
  NdrWriter out;
  RpcStatus st;
  try {
    st = ops[call.opnum](in, out);
  } catch (const std::bad_alloc&) {
    return kNcaRemoteNoMemory;
  } catch (...) {
    return kNcaFaultUnspecified;
  }
  if (st == 0 && !in.ok()) st = kRpcBadStubData;
  if (st == 0) stubOut->swap(out.bytes());
  return st;
}

}  // namespace zemir::rpc
