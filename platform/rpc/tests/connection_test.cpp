// The per-connection engine fed with hand-built bytes: negotiation, reassembly, faults and
// the hostile inputs a network server meets.
#include "zemir/platform/rpc/connection.h"

#include <gtest/gtest.h>

#include "pdu_builder.h"

using namespace zemir::rpc;
using namespace zemir::rpc::test;

namespace {

struct Out {
  std::uint8_t ptype, flags;
  std::uint32_t callId;
  std::vector<std::uint8_t> pdu;
};

std::vector<Out> Split(std::vector<std::uint8_t>& out) {
  std::vector<Out> v;
  std::size_t at = 0;
  while (at + 16 <= out.size()) {
    PduHeader h;
    EXPECT_EQ(ParseHeader(out.data() + at, out.size() - at, &h), HeaderCheck::Ok);
    EXPECT_LE(at + h.fragLength, out.size());
    v.push_back({h.ptype, h.flags, h.callId, std::vector<std::uint8_t>(out.begin() + at, out.begin() + at + h.fragLength)});
    at += h.fragLength;
  }
  EXPECT_EQ(at, out.size());
  out.clear();
  return v;
}

// A test interface: 0 echoes a string back, 1 returns `n` bytes, 2 is missing, 3 reads a long.
std::vector<RpcInterface> TestInterfaces() {
  RpcInterface itf;
  Uuid::Parse(kTestIf, &itf.uuid);
  itf.major = 1;
  itf.minor = 2;
  itf.maxRequestBytes = 15000;
  itf.ops.push_back([](NdrReader& in, NdrWriter& out) -> RpcStatus {
    std::string s;
    if (!in.ConformantVaryingString(&s, 5000)) return kRpcBadStubData;
    out.ConformantVaryingString(s);
    return 0;
  });
  itf.ops.push_back([](NdrReader& in, NdrWriter& out) -> RpcStatus {
    std::uint32_t n = 0;
    if (!in.U32(&n) || n > 20000) return kRpcBadStubData;
    for (std::uint32_t i = 0; i < n; ++i) out.U8(static_cast<std::uint8_t>(i));
    return 0;
  });
  itf.ops.push_back(nullptr);
  itf.ops.push_back([](NdrReader& in, NdrWriter& out) -> RpcStatus {
    std::int32_t v = 0;
    in.I32(&v);  // a failed read is caught by the runtime
    out.I32(v + 1);
    return 0;
  });
  return {itf};
}

struct Engine {
  std::vector<RpcInterface> ifs = TestInterfaces();
  std::vector<std::string> log;
  RpcConnection c{&ifs, ConnectionLimits{}, "4747", [this](const std::string& s) { log.push_back(s); }};

  bool Feed(const std::vector<std::uint8_t>& b) { return c.Receive(b.data(), b.size()); }
  void Bind() {
    ASSERT_TRUE(Feed(BindPdu(kPtBind, 1, {{0, kTestIf, 1, 0, {{kNdr20, 2}}}})));
    auto o = Split(c.Output());
    ASSERT_EQ(o.size(), 1u);
    ASSERT_EQ(o[0].ptype, kPtBindAck);
  }
  // Runs every queued call and returns the replies.
  std::vector<Out> Run() {
    while (auto call = c.TakeCall()) {
      std::vector<std::uint8_t> stub;
      RpcStatus st = RpcConnection::Execute(ifs, *call, &stub);
      c.CompleteCall(*call, st, stub);
    }
    return Split(c.Output());
  }
};

std::vector<std::uint8_t> StrStub(const std::string& s, bool little = true) {
  Bytes b(little);
  b.u32(std::uint32_t(s.size() + 1)).u32(0).u32(std::uint32_t(s.size() + 1)).str(s).u8(0);
  return b.v();
}

std::uint32_t FaultStatus(const Out& o) { return Le32(o.pdu, 24); }

}  // namespace

TEST(RpcConnection, BindAnswersEachContextAsWindowsDoes) {
  Engine e;
  ASSERT_TRUE(e.Feed(BindPdu(kPtBind, 1,
                             {{0, kTestIf, 1, 0, {{kNdr20, 2}}},
                              {1, kTestIf, 1, 0, {{kNdr64, 1}}},
                              {2, kTestIf, 1, 0, {{"6cb71c2c-9812-4540-0300-000000000000", 1}}},
                              {3, "00000000-1111-2222-3333-444444444444", 1, 0, {{kNdr20, 2}}},
                              {4, kTestIf, 2, 0, {{kNdr20, 2}}},
                              {5, kTestIf, 1, 3, {{kNdr20, 2}}},
                              {6, kTestIf, 1, 1, {{kNdr64, 1}, {kNdr20, 2}}}},
                             true, 5840, 4280)));
  auto o = Split(e.c.Output());
  ASSERT_EQ(o.size(), 1u);
  const auto& a = o[0].pdu;
  EXPECT_EQ(o[0].ptype, kPtBindAck);
  EXPECT_EQ(Le16(a, 16), 4280);  // our max_xmit_frag = the client's max_recv_frag
  EXPECT_EQ(Le16(a, 18), 5840);
  EXPECT_NE(Le32(a, 20), 0u);    // a new association group
  ASSERT_EQ(a[32], 7);
  struct {
    std::uint16_t result, reason;
  } want[] = {{0, 0}, {2, 2}, {3, 3}, {2, 1}, {2, 1}, {2, 1}, {0, 0}};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(Le16(a, 36 + 24 * i), want[i].result) << i;
    EXPECT_EQ(Le16(a, 38 + 24 * i), want[i].reason) << i;
  }
  EXPECT_EQ(Le32(a, 40), 0x8a885d04u);
  EXPECT_EQ(Le32(a, 40 + 24), 0u);  // rejected: zero syntax
  EXPECT_EQ(e.c.maxXmitFrag(), 4280);

  // Only the accepted contexts (0 and 6) take calls; the rejected ones fault unknown interface.
  ASSERT_TRUE(e.Feed(RequestPdu(2, 6, 0, StrStub("x"))));
  ASSERT_TRUE(e.Feed(RequestPdu(3, 1, 0, StrStub("x"))));
  o = e.Run();
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(o[0].ptype, kPtFault);  // the refusal is answered at once, before the queued call runs
  EXPECT_EQ(o[0].callId, 3u);
  EXPECT_EQ(FaultStatus(o[0]), kNcaUnknownInterface);
  EXPECT_EQ(o[1].ptype, kPtResponse);

  // alter_context adds a context; its reply carries an empty address.
  ASSERT_TRUE(e.Feed(BindPdu(kPtAlterContext, 4, {{9, kTestIf, 1, 0, {{kNdr20, 2}}}})));
  o = Split(e.c.Output());
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].ptype, kPtAlterContextResp);
  EXPECT_EQ(Le16(o[0].pdu, 24), 0);
  EXPECT_EQ(Le16(o[0].pdu, 32), kResultAcceptance);
  ASSERT_TRUE(e.Feed(RequestPdu(5, 9, 0, StrStub("y"))));
  o = e.Run();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].ptype, kPtResponse);
}

TEST(RpcConnection, BindRefusals) {
  {
    Engine e;  // authentication is not offered
    ASSERT_TRUE(e.c.Receive(nullptr, 0));
    auto b = BindPdu(kPtBind, 1, {{0, kTestIf, 1, 0, {{kNdr20, 2}}}});
    b[10] = 8;
    b.insert(b.end(), 16, 0);
    b[8] = static_cast<std::uint8_t>(b.size());
    ASSERT_TRUE(e.Feed(b));
    auto o = Split(e.c.Output());
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0].ptype, kPtBindNak);
    EXPECT_EQ(Le16(o[0].pdu, 16), kNakAuthenticationTypeNotRecognized);
    e.Bind();  // the connection stays usable
  }
  {
    Engine e;  // fragments below the minimum every implementation must take
    ASSERT_TRUE(e.Feed(BindPdu(kPtBind, 1, {{0, kTestIf, 1, 0, {{kNdr20, 2}}}}, true, 1000, 1000)));
    auto o = Split(e.c.Output());
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0].ptype, kPtBindNak);
  }
  {
    Engine e;  // a second bind
    e.Bind();
    EXPECT_FALSE(e.Feed(BindPdu(kPtBind, 2, {{0, kTestIf, 1, 0, {{kNdr20, 2}}}})));
    auto o = Split(e.c.Output());
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0].ptype, kPtBindNak);
  }
  {
    Engine e;  // protocol version 4
    auto b = BindPdu(kPtBind, 1, {{0, kTestIf, 1, 0, {{kNdr20, 2}}}});
    b[0] = 4;
    EXPECT_FALSE(e.Feed(b));
    auto o = Split(e.c.Output());
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(Le16(o[0].pdu, 16), kNakProtocolVersionNotSupported);
  }
  for (std::uint8_t pt : {kPtRequest, kPtAlterContext}) {
    Engine e;  // calls before any bind
    auto pdu = pt == kPtRequest ? RequestPdu(1, 0, 0, StrStub("x")) : BindPdu(pt, 1, {{0, kTestIf, 1, 0, {{kNdr20, 2}}}});
    EXPECT_FALSE(e.Feed(pdu));
  }
}

TEST(RpcConnection, ReassemblesFragmentsInEitherByteOrderFedByteByByte) {
  for (bool little : {true, false}) {
    Engine e;
    ASSERT_TRUE(e.Feed(BindPdu(kPtBind, 1, {{0, kTestIf, 1, 0, {{kNdr20, 2}}}}, little)));
    Split(e.c.Output());
    std::string text(3000, 'q');
    auto stub = StrStub(text, little);
    std::vector<std::uint8_t> all;
    for (std::size_t at = 0; at < stub.size(); at += 1000) {
      std::vector<std::uint8_t> part(stub.begin() + at, stub.begin() + std::min(stub.size(), at + 1000));
      std::uint8_t flags = (at == 0 ? kPfcFirstFrag : 0) | (at + 1000 >= stub.size() ? kPfcLastFrag : 0);
      auto pdu = RequestPdu(7, 0, 0, part, flags, little, 0xFFFFFFFF);  // absurd alloc_hint: ignored
      all.insert(all.end(), pdu.begin(), pdu.end());
    }
    for (std::uint8_t b : all) ASSERT_TRUE(e.c.Receive(&b, 1));
    auto o = e.Run();
    ASSERT_EQ(o.size(), 1u);
    ASSERT_EQ(o[0].ptype, kPtResponse);
    NdrReader r(o[0].pdu.data() + 24, o[0].pdu.size() - 24, true);
    std::string back;
    ASSERT_TRUE(r.ConformantVaryingString(&back, 5000));
    EXPECT_EQ(back, text);

    // A big-endian long comes back incremented, in our little-endian representation.
    Bytes v(little);
    v.u32(41);
    ASSERT_TRUE(e.Feed(RequestPdu(8, 0, 3, v.v(), kPfcFirstFrag | kPfcLastFrag, little)));
    o = e.Run();
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(Le32(o[0].pdu, 24), 42u);
  }
}

TEST(RpcConnection, FaultsForBadCalls) {
  Engine e;
  e.Bind();
  ASSERT_TRUE(e.Feed(RequestPdu(2, 0, 2, {})));    // a hole in the operation table
  ASSERT_TRUE(e.Feed(RequestPdu(3, 0, 99, {})));   // past its end
  ASSERT_TRUE(e.Feed(RequestPdu(4, 0, 0, {1, 2})));  // stub that does not decode
  ASSERT_TRUE(e.Feed(RequestPdu(5, 0, 3, {1})));   // handler ignores its failed read
  auto o = e.Run();
  ASSERT_EQ(o.size(), 4u);
  EXPECT_EQ(FaultStatus(o[0]), kNcaOpRangeError);
  EXPECT_TRUE(o[0].flags & kPfcDidNotExecute);
  EXPECT_EQ(FaultStatus(o[1]), kNcaOpRangeError);
  EXPECT_EQ(FaultStatus(o[2]), kRpcBadStubData);
  EXPECT_FALSE(o[2].flags & kPfcDidNotExecute);
  EXPECT_EQ(FaultStatus(o[3]), kRpcBadStubData);

  // A multi-fragment call to a missing operation: one fault, the rest of its fragments skipped.
  ASSERT_TRUE(e.Feed(RequestPdu(6, 0, 99, std::vector<std::uint8_t>(16), kPfcFirstFrag)));
  ASSERT_TRUE(e.Feed(RequestPdu(6, 0, 99, std::vector<std::uint8_t>(16), 0)));
  ASSERT_TRUE(e.Feed(RequestPdu(6, 0, 99, std::vector<std::uint8_t>(16), kPfcLastFrag)));
  ASSERT_TRUE(e.Feed(RequestPdu(7, 0, 0, StrStub("ok"))));
  o = e.Run();
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(o[0].callId, 6u);
  EXPECT_EQ(o[1].callId, 7u);
  EXPECT_EQ(o[1].ptype, kPtResponse);
}

TEST(RpcConnection, RequestSizeLimitCountsTheReassembledBytes) {
  Engine e;
  e.Bind();
  std::vector<std::uint8_t> part(4000);
  ASSERT_TRUE(e.Feed(RequestPdu(2, 0, 1, part, kPfcFirstFrag)));
  ASSERT_TRUE(e.Feed(RequestPdu(2, 0, 1, part, 0)));
  ASSERT_TRUE(e.Feed(RequestPdu(2, 0, 1, part, 0)));
  ASSERT_TRUE(e.Feed(RequestPdu(2, 0, 1, part, 0)));  // 16,000 bytes: over 15,000
  ASSERT_TRUE(e.Feed(RequestPdu(2, 0, 1, part, kPfcLastFrag)));
  auto o = e.Run();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(FaultStatus(o[0]), kRpcAccessDenied);
  EXPECT_FALSE(e.c.awaitingInput());
  // 15,000 exactly is accepted.
  Bytes n;
  n.u32(5);
  auto stub = n.v();
  stub.resize(15000);
  ASSERT_TRUE(e.Feed(RequestPdu(3, 0, 1, std::vector<std::uint8_t>(stub.begin(), stub.begin() + 4000), kPfcFirstFrag)));
  for (int i = 1; i < 3; ++i)
    ASSERT_TRUE(e.Feed(RequestPdu(3, 0, 1, std::vector<std::uint8_t>(stub.begin() + 4000 * i, stub.begin() + 4000 * (i + 1)), 0)));
  ASSERT_TRUE(e.Feed(RequestPdu(3, 0, 1, std::vector<std::uint8_t>(stub.begin() + 12000, stub.end()), kPfcLastFrag)));
  o = e.Run();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].ptype, kPtResponse);
}

TEST(RpcConnection, HostileFramingClosesTheConnection) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
  };
  auto big = RequestPdu(2, 0, 0, std::vector<std::uint8_t>(5000));  // over the negotiated 4280
  auto tiny = RequestPdu(2, 0, 0, {});
  tiny[8] = 10;  // frag_length below the header
  auto interleaved = RequestPdu(2, 0, 0, std::vector<std::uint8_t>(8), kPfcFirstFrag);
  auto second = RequestPdu(3, 0, 0, std::vector<std::uint8_t>(8), kPfcFirstFrag);
  interleaved.insert(interleaved.end(), second.begin(), second.end());
  auto middle = RequestPdu(9, 0, 0, std::vector<std::uint8_t>(8), kPfcLastFrag);
  auto serverType = Pdu(kPtResponse, 3, 1, std::vector<std::uint8_t>(8));
  auto unknownType = Pdu(77, 3, 1, {});
  auto shortReq = Pdu(kPtRequest, 3, 1, {1, 2, 3});  // body shorter than alloc_hint/ctx/opnum
  Case cases[] = {{"frag_length over the limit", big},     {"frag_length under the header", tiny},
                  {"two calls interleaved", interleaved},   {"fragment of no call", middle},
                  {"server-to-client type", serverType},    {"unknown type", unknownType},
                  {"truncated request header", shortReq}};
  for (auto& c : cases) {
    Engine e;
    e.Bind();
    EXPECT_FALSE(e.Feed(c.bytes)) << c.what;
    EXPECT_TRUE(e.c.closing()) << c.what;
    EXPECT_FALSE(e.log.empty()) << c.what;
    EXPECT_FALSE(e.c.TakeCall()) << c.what;
    // Nothing more is taken once closing.
    EXPECT_FALSE(e.Feed(RequestPdu(20, 0, 0, StrStub("x")))) << c.what;
  }
  // A truncated PDU is held until more arrives; the server's read timeout ends it.
  Engine e;
  e.Bind();
  auto pdu = RequestPdu(2, 0, 0, StrStub("abc"));
  ASSERT_TRUE(e.c.Receive(pdu.data(), pdu.size() - 1));
  EXPECT_TRUE(e.c.awaitingInput());
  EXPECT_FALSE(e.c.TakeCall());
}

TEST(RpcConnection, OrphanedAndCancelledCalls) {
  Engine e;
  e.Bind();
  // Orphaned while being reassembled: dropped, and the connection goes on.
  ASSERT_TRUE(e.Feed(RequestPdu(2, 0, 0, std::vector<std::uint8_t>(8), kPfcFirstFrag)));
  ASSERT_TRUE(e.Feed(Pdu(kPtOrphaned, 3, 2, {})));
  EXPECT_FALSE(e.c.awaitingInput());
  // Orphaned while running: its answer is not sent.
  ASSERT_TRUE(e.Feed(RequestPdu(3, 0, 0, StrStub("a"))));
  auto call = e.c.TakeCall();
  ASSERT_TRUE(call);
  ASSERT_TRUE(e.Feed(Pdu(kPtOrphaned, 3, 3, {})));
  std::vector<std::uint8_t> stub;
  e.c.CompleteCall(*call, RpcConnection::Execute(e.ifs, *call, &stub), stub);
  EXPECT_TRUE(e.c.Output().empty());
  // A "maybe" call runs but is not answered.
  ASSERT_TRUE(e.Feed(RequestPdu(5, 0, 0, StrStub("m"), kPfcFirstFrag | kPfcLastFrag | kPfcMaybe)));
  EXPECT_TRUE(e.Run().empty());
  // A cancel does not stop the call: it answers normally.
  ASSERT_TRUE(e.Feed(RequestPdu(4, 0, 0, StrStub("b"))));
  ASSERT_TRUE(e.Feed(Pdu(kPtCoCancel, 3, 4, {})));
  auto o = e.Run();
  ASSERT_EQ(o.size(), 1u);
  EXPECT_EQ(o[0].ptype, kPtResponse);
  EXPECT_EQ(o[0].callId, 4u);
}

TEST(RpcConnection, LongResponsesAreFragmentedToTheClientsSize) {
  Engine e;
  ASSERT_TRUE(e.Feed(BindPdu(kPtBind, 1, {{0, kTestIf, 1, 0, {{kNdr20, 2}}}}, true, 4280, 1432)));
  Split(e.c.Output());
  Bytes n;
  n.u32(9905);
  ASSERT_TRUE(e.Feed(RequestPdu(2, 0, 1, n.v())));
  auto o = e.Run();
  ASSERT_EQ(o.size(), 8u);  // 1,408 stub bytes per 1,432-byte fragment
  std::size_t total = 0;
  for (const auto& f : o) {
    EXPECT_LE(f.pdu.size(), 1432u);
    total += f.pdu.size() - 24;
  }
  EXPECT_EQ(total, 9905u);
  EXPECT_TRUE(o.back().flags & kPfcLastFrag);
}
