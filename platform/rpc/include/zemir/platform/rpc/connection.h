// One client connection's protocol state, free of sockets and threads: it takes the bytes a
// client sent, answers binds and protocol errors itself, reassembles request fragments into
// calls, and turns a finished call into response fragments or a fault.
#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zemir/platform/rpc/ndr.h"
#include "zemir/platform/rpc/pdu.h"

namespace zemir::rpc {

using RpcStatus = std::uint32_t;

// An operation handler reads its [in] parameters from `in` (the request's stub data, in the
// caller's byte order) and writes its [out] parameters and result to `out`. It returns 0 for a
// response, or a fault status (kRpcBadStubData when the parameters do not decode). A handler
// that returns 0 with `in` failed is answered with kRpcBadStubData.
using OpHandler = std::function<RpcStatus(NdrReader& in, NdrWriter& out)>;

// Asked before each call runs, with the client's address ("127.0.0.1"); a nonzero result
// refuses the call with an access-denied fault.
using SecurityCallback = std::function<RpcStatus(const std::string& clientAddress)>;

// An interface as the server offers it: identity, one handler per operation number, its
// limits (concurrent calls, bytes of stub data per request after reassembly) and an optional
// security callback.
struct RpcInterface {
  Uuid uuid;
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::vector<OpHandler> ops;
  unsigned maxCalls = 4;
  std::size_t maxRequestBytes = 15000;
  SecurityCallback securityCallback;
};

struct ConnectionLimits {
  std::uint16_t maxFragment = 5840;  // largest fragment sent or accepted
  std::size_t maxContexts = 32;      // presentation contexts kept per connection
  std::size_t maxQueuedCalls = 8;    // complete calls waiting behind the running one
};

// A reassembled call, ready for its interface's handler.
struct PendingCall {
  std::uint32_t callId = 0;
  std::uint16_t contextId = 0;
  std::uint16_t opnum = 0;
  bool littleEndian = true;
  bool maybe = false;  // the client expects no answer
  std::size_t interfaceIndex = 0;
  std::vector<std::uint8_t> stub;
};

using LogFn = std::function<void(const std::string&)>;

class RpcConnection {
 public:
  // `interfaces` must outlive the connection and not change while it lives. `secAddr` is the
  // port text announced in bind_ack.
  RpcConnection(const std::vector<RpcInterface>* interfaces, ConnectionLimits limits, std::string secAddr,
                LogFn log = nullptr);

  // Takes received bytes. Replies that need no handler are appended to Output(); complete
  // calls queue for TakeCall(). Returns false once the connection must be closed (send what
  // Output() holds first, then close); further input is ignored.
  bool Receive(const std::uint8_t* data, std::size_t size);

  // The next call to run, when none is running; marks it running.
  std::optional<PendingCall> TakeCall();
  // Ends the running call: appends its response fragments (status 0) or fault, unless the
  // client orphaned it or the connection is closing.
  void CompleteCall(const PendingCall& call, RpcStatus status, const std::vector<std::uint8_t>& stubOut);

  std::vector<std::uint8_t>& Output() { return out_; }
  bool closing() const { return closing_; }
  bool callRunning() const { return running_; }
  // True while part of a PDU or of a fragmented call is held: the client owes more bytes.
  bool awaitingInput() const { return !in_.empty() || assembling_ || discarding_; }
  bool bound() const { return bound_; }
  std::uint16_t maxXmitFrag() const { return maxXmit_; }
  std::uint16_t maxRecvFrag() const { return maxRecv_; }

  // Runs `call` through its interface's handler (no locking: the caller limits concurrency).
  static RpcStatus Execute(const std::vector<RpcInterface>& interfaces, const PendingCall& call,
                           std::vector<std::uint8_t>* stubOut);

 private:
  void HandlePdu(const PduHeader& h, const std::uint8_t* pdu, std::size_t size);
  void HandleBind(const PduHeader& h, const std::uint8_t* pdu, std::size_t size, bool alter);
  void HandleRequest(const PduHeader& h, const std::uint8_t* pdu, std::size_t size);
  ContextResult EvaluateContext(const ContextElem& e, std::optional<std::size_t>* accepted) const;
  void Close(const std::string& why);
  void Append(const std::vector<std::uint8_t>& b) { out_.insert(out_.end(), b.begin(), b.end()); }
  void Log(const std::string& s) const {
    if (log_) log_(s);
  }

  const std::vector<RpcInterface>* ifs_;
  ConnectionLimits limits_;
  std::string secAddr_;
  LogFn log_;

  std::vector<std::uint8_t> in_;   // bytes of the PDU being received
  std::vector<std::uint8_t> out_;  // bytes to send
  bool closing_ = false;
  bool bound_ = false;
  std::uint16_t maxXmit_;
  std::uint16_t maxRecv_;
  std::uint32_t assocGroup_ = 0;
  std::map<std::uint16_t, std::size_t> contexts_;  // accepted context id -> interface index

  // Reassembly of the one call this connection may have in flight.
  bool assembling_ = false;
  PendingCall partial_;
  bool discarding_ = false;  // skipping the fragments of a call already answered with a fault
  std::uint32_t discardCallId_ = 0;

  std::deque<PendingCall> queued_;
  bool running_ = false;
  std::uint32_t runningCallId_ = 0;
  bool runningOrphaned_ = false;
};

}  // namespace zemir::rpc
