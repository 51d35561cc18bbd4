// PDU codec: header checks, bind decoding, the exact layout of the replies.
#include "zemir/platform/rpc/pdu.h"

#include <gtest/gtest.h>

#include "pdu_builder.h"

using namespace zemir::rpc;
using namespace zemir::rpc::test;

TEST(PduHeader, ReadsBothByteOrdersAndRefusesNonsense) {
  PduHeader h;
  auto le = Pdu(kPtRequest, 3, 0x01020304, {1, 2, 3, 4}, true, 0);
  ASSERT_EQ(ParseHeader(le.data(), le.size(), &h), HeaderCheck::Ok);
  EXPECT_EQ(h.fragLength, 20);
  EXPECT_EQ(h.callId, 0x01020304u);
  EXPECT_TRUE(h.littleEndian());
  auto be = Pdu(kPtBind, 3, 0x01020304, std::vector<std::uint8_t>(300), false, 8);
  ASSERT_EQ(ParseHeader(be.data(), be.size(), &h), HeaderCheck::Ok);
  EXPECT_EQ(h.fragLength, 316);
  EXPECT_EQ(h.authLength, 8);
  EXPECT_EQ(h.callId, 0x01020304u);
  EXPECT_FALSE(h.littleEndian());

  EXPECT_EQ(ParseHeader(le.data(), 15, &h), HeaderCheck::NeedMore);
  auto bad = le;
  bad[0] = 4;
  EXPECT_EQ(ParseHeader(bad.data(), bad.size(), &h), HeaderCheck::Bad);
  bad = le;
  bad[1] = 2;
  EXPECT_EQ(ParseHeader(bad.data(), bad.size(), &h), HeaderCheck::Bad);
  bad = le;
  bad[4] = 0x11;  // EBCDIC
  EXPECT_EQ(ParseHeader(bad.data(), bad.size(), &h), HeaderCheck::Bad);
  bad = le;
  bad[4] = 0x20;  // unknown integer representation
  EXPECT_EQ(ParseHeader(bad.data(), bad.size(), &h), HeaderCheck::Bad);
  bad = le;
  bad[8] = 15;  // frag_length below the header
  bad[9] = 0;
  EXPECT_EQ(ParseHeader(bad.data(), bad.size(), &h), HeaderCheck::Bad);
}

TEST(PduBind, DecodesContextsAndRefusesTruncation) {
  for (bool little : {true, false}) {
    auto pdu = BindPdu(kPtBind, 7,
                       {{0, kTestIf, 1, 0, {{kNdr20, 2}}}, {1, kTestIf, 1, 0, {{kNdr64, 1}, {kNdr20, 2}}}}, little,
                       5840, 4280);
    PduHeader h;
    ASSERT_EQ(ParseHeader(pdu.data(), pdu.size(), &h), HeaderCheck::Ok);
    BindBody b;
    ASSERT_TRUE(ParseBind(pdu.data(), pdu.size(), h, &b));
    EXPECT_EQ(b.maxXmitFrag, 5840);
    EXPECT_EQ(b.maxRecvFrag, 4280);
    ASSERT_EQ(b.contexts.size(), 2u);
    EXPECT_EQ(b.contexts[1].id, 1);
    EXPECT_EQ(b.contexts[1].abstract.uuid.ToString(), kTestIf);
    EXPECT_EQ(b.contexts[1].abstract.major, 1);
    ASSERT_EQ(b.contexts[1].transfers.size(), 2u);
    EXPECT_TRUE(b.contexts[1].transfers[0] == Ndr64Syntax());
    EXPECT_TRUE(b.contexts[1].transfers[1] == Ndr20Syntax());
    for (std::size_t cut = 16; cut < pdu.size(); ++cut) EXPECT_FALSE(ParseBind(pdu.data(), cut, h, &b)) << cut;
  }
  // A context claiming 255 transfer syntaxes with none present.
  Bytes body;
  body.u16(4280).u16(4280).u32(0).u8(1).u8(0).u16(0).u16(0).u8(255).u8(0).uuid(kTestIf).u32(1);
  auto pdu = Pdu(kPtBind, 3, 1, body.v());
  PduHeader h;
  ParseHeader(pdu.data(), pdu.size(), &h);
  BindBody b;
  EXPECT_FALSE(ParseBind(pdu.data(), pdu.size(), h, &b));
}

TEST(PduReplies, BindAckLayoutMatchesTheWire) {
  std::vector<ContextResult> res(2);
  res[0].result = kResultAcceptance;
  res[0].transfer = Ndr20Syntax();
  res[1].result = kResultNegotiateAck;
  res[1].reason = 3;
  auto ack = BuildBindAck(kPtBindAck, 9, 4280, 4280, 0x1234, "4747", res);
  ASSERT_EQ(ack.size(), 36u + 2 * 24);
  EXPECT_EQ(ack[2], kPtBindAck);
  EXPECT_EQ(ack[3], kPfcFirstFrag | kPfcLastFrag);
  EXPECT_EQ(ack[4], 0x10);
  EXPECT_EQ(Le16(ack, 8), ack.size());
  EXPECT_EQ(Le32(ack, 12), 9u);
  EXPECT_EQ(Le16(ack, 16), 4280);
  EXPECT_EQ(Le32(ack, 20), 0x1234u);
  EXPECT_EQ(Le16(ack, 24), 5);  // "4747" with its NUL
  EXPECT_EQ(std::string(ack.begin() + 26, ack.begin() + 31), std::string("4747\0", 5));
  EXPECT_EQ(ack[32], 2);  // results, 4-aligned
  EXPECT_EQ(Le16(ack, 36), kResultAcceptance);
  EXPECT_EQ(Le32(ack, 40), 0x8a885d04u);
  EXPECT_EQ(Le32(ack, 56), 2u);  // NDR version 2.0
  EXPECT_EQ(Le16(ack, 60), kResultNegotiateAck);
  EXPECT_EQ(Le16(ack, 62), 3);
  for (int i = 64; i < 84; ++i) EXPECT_EQ(ack[i], 0) << i;

  auto alter = BuildBindAck(kPtAlterContextResp, 9, 4280, 4280, 0x1234, "", {res[0]});
  EXPECT_EQ(Le16(alter, 24), 0);
  EXPECT_EQ(alter[28], 1);  // results right after the 2-byte empty address and padding

  auto nak = BuildBindNak(4, kNakProtocolVersionNotSupported);
  EXPECT_EQ(nak[2], kPtBindNak);
  EXPECT_EQ(Le16(nak, 16), kNakProtocolVersionNotSupported);
  EXPECT_EQ(nak[18], 1);
  EXPECT_EQ(nak[19], 5);
  EXPECT_EQ(nak.size() % 4, 0u);
}

TEST(PduReplies, ResponseFragmentsFitTheNegotiatedSize) {
  std::vector<std::uint8_t> stub(9905);
  for (std::size_t i = 0; i < stub.size(); ++i) stub[i] = static_cast<std::uint8_t>(i * 7);
  std::vector<std::uint8_t> out;
  AppendResponse(&out, 5, 1, stub.data(), stub.size(), 4280);
  std::vector<std::uint8_t> joined;
  std::size_t at = 0, frags = 0;
  while (at < out.size()) {
    PduHeader h;
    ASSERT_EQ(ParseHeader(out.data() + at, out.size() - at, &h), HeaderCheck::Ok);
    EXPECT_LE(h.fragLength, 4280);
    EXPECT_EQ(h.ptype, kPtResponse);
    EXPECT_EQ(h.callId, 5u);
    EXPECT_EQ(bool(h.flags & kPfcFirstFrag), frags == 0);
    bool last = h.flags & kPfcLastFrag;
    EXPECT_EQ(Le32(out, at + 16), stub.size() - joined.size());  // alloc_hint: what is left
    EXPECT_EQ(Le16(out, at + 20), 1);
    if (!last) {
      EXPECT_EQ((h.fragLength - 24) % 8, 0);
    }
    joined.insert(joined.end(), out.begin() + at + 24, out.begin() + at + h.fragLength);
    at += h.fragLength;
    ++frags;
    if (last) {
      EXPECT_EQ(at, out.size());
    }
  }
  EXPECT_EQ(frags, 3u);
  EXPECT_EQ(joined, stub);

  out.clear();
  AppendResponse(&out, 6, 0, nullptr, 0, 4280);  // an empty stub still gets one fragment
  ASSERT_EQ(out.size(), 24u);
  EXPECT_EQ(out[3], kPfcFirstFrag | kPfcLastFrag);

  out.clear();
  AppendFault(&out, 8, 2, kNcaOpRangeError, true);
  ASSERT_EQ(out.size(), kFaultSize);
  EXPECT_EQ(out[2], kPtFault);
  EXPECT_EQ(out[3], kPfcFirstFrag | kPfcLastFrag | kPfcDidNotExecute);
  EXPECT_EQ(Le16(out, 20), 2);
  EXPECT_EQ(Le32(out, 24), 0x1C010002u);
}

TEST(PduSyntax, RecognisesFeatureNegotiation) {
  SyntaxId s;
  std::uint16_t f = 0;
  ASSERT_TRUE(Uuid::Parse("6cb71c2c-9812-4540-0300-000000000000", &s.uuid));
  ASSERT_TRUE(IsFeatureNegotiation(s, &f));
  EXPECT_EQ(f, 3);
  ASSERT_TRUE(Uuid::Parse("6cb71c2c-9812-4540-0100-000000000000", &s.uuid));
  ASSERT_TRUE(IsFeatureNegotiation(s, &f));
  EXPECT_EQ(f, 1);
  ASSERT_TRUE(Uuid::Parse("6cb71c2c-9812-4540-0300-000000000001", &s.uuid));
  EXPECT_FALSE(IsFeatureNegotiation(s, &f));
  EXPECT_FALSE(IsFeatureNegotiation(Ndr20Syntax(), &f));
}
