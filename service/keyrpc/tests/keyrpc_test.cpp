// The key interface's stubs against hand-built NDR: every operation's exact wire form and
// the refusals of parameters that do not decode.
#include "zemir/service/keyrpc.h"

#include <gtest/gtest.h>

#include "fake_handler.h"

using namespace zemir;
using rpc::NdrReader;
using rpc::NdrWriter;

namespace {

class Stub {
 public:
  explicit Stub(bool little = true) : little_(little) {}
  Stub& u32(std::uint32_t v) {
    align(4);
    for (int i = 0; i < 4; ++i) b.push_back(std::uint8_t(v >> (little_ ? 8 * i : 8 * (3 - i))));
    return *this;
  }
  Stub& str(const std::string& s) {  // a well-formed [string] char*
    u32(std::uint32_t(s.size() + 1)).u32(0).u32(std::uint32_t(s.size() + 1));
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
    return *this;
  }
  Stub& bytes(std::size_t n, std::uint8_t v) {
    b.insert(b.end(), n, v);
    return *this;
  }
  Stub& align(std::size_t n) {
    while (b.size() % n) b.push_back(0);
    return *this;
  }
  std::vector<std::uint8_t> b;

 private:
  bool little_;
};

struct Result {
  rpc::RpcStatus status;
  std::vector<std::uint8_t> out;
};

Result Call(test::FakeKeyHandler& h, std::uint16_t op, const std::vector<std::uint8_t>& in, bool little = true) {
  NdrReader r(in.data(), in.size(), little);
  NdrWriter w;
  rpc::RpcStatus st = KeyRpcDispatch(h, op, r, w);
  return {st, w.bytes()};
}

std::int32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::int32_t>(std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 |
                                   std::uint32_t(b[at + 2]) << 16 | std::uint32_t(b[at + 3]) << 24);
}

}  // namespace

TEST(KeyRpcStubs, EveryOperationsWireForm) {
  test::FakeKeyHandler h;
  auto r = Call(h, kOpCloseLibrary, {});
  EXPECT_EQ(r.status, 0u);
  EXPECT_TRUE(r.out.empty());

  r = Call(h, kOpInitLibrary, {});
  EXPECT_EQ(r.out, (std::vector<std::uint8_t>{0x00, 0x00, 0x02, 0x00, 0x00}));  // referent, then the NUL
  r = Call(h, kOpInitLibrary, {});
  EXPECT_EQ(r.out, (std::vector<std::uint8_t>{0, 0, 0, 0}));  // null pointer

  r = Call(h, kOpIsAnyReaderConnected2, {});
  ASSERT_EQ(r.out.size(), 20u);
  EXPECT_EQ(std::string(r.out.begin(), r.out.begin() + 4), std::string("E:\\\0", 4));
  EXPECT_EQ(r.out[19], 'Z');

  r = Call(h, kOpVerifyPIN, Stub().str("Reader A").str("1234").b);
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.out, (std::vector<std::uint8_t>{1}));
  r = Call(h, kOpChangePIN, Stub().str("R").str("1234").str("98765").b);
  EXPECT_EQ(r.out, (std::vector<std::uint8_t>{1}));

  for (std::uint16_t op : {kOpReadData, kOpWriteData}) {
    r = Call(h, op, Stub().str("Reader A").u32(7).bytes(kKeyDataSize, 0x11).u32(9899).b);
    ASSERT_EQ(r.status, 0u);
    ASSERT_EQ(r.out.size(), kKeyDataSize + 4 + 1);
    EXPECT_EQ(r.out[0], op == kOpReadData ? (0x11 ^ 0x5A) : (0x11 ^ 0xA5));
    EXPECT_EQ(r.out[kKeyDataSize - 1], r.out[0]);
    EXPECT_EQ(Le32(r.out, kKeyDataSize), 9900);
    EXPECT_EQ(r.out.back(), 1);
  }
  r = Call(h, kOpDeleteData, Stub().str("x").u32(static_cast<std::uint32_t>(-5)).b);
  EXPECT_EQ(r.out, (std::vector<std::uint8_t>{1}));
  r = Call(h, kOpGetReaderSerialNumber, Stub().str("Reader A").b);
  ASSERT_EQ(r.out.size(), 4u);
  EXPECT_EQ(Le32(r.out, 0), -123456789);
  r = Call(h, kOpIsReaderInserted, Stub().str("E:\\").b);
  EXPECT_EQ(r.out, (std::vector<std::uint8_t>{1}));

  std::vector<std::string> want = {"CloseLibrary",
                                   "InitLibrary",
                                   "InitLibrary",
                                   "IsAnyReaderConnected2",
                                   "VerifyPIN Reader A 1234",
                                   "ChangePIN R 1234 98765",
                                   "ReadData Reader A 7 9899",
                                   "WriteData Reader A 7 9899",
                                   "DeleteData x -5",
                                   "GetReaderSerialNumber Reader A",
                                   "IsReaderInserted E:\\"};
  EXPECT_EQ(h.calls, want);
  EXPECT_EQ(Call(h, kKeyRpcOpCount, {}).status, rpc::kNcaOpRangeError);
}

TEST(KeyRpcStubs, BigEndianCallersAreReadInTheirOrder) {
  test::FakeKeyHandler h;
  auto r = Call(h, kOpReadData, Stub(false).str("Reader A").u32(1001).bytes(kKeyDataSize, 0).u32(30).b, false);
  ASSERT_EQ(r.status, 0u);
  EXPECT_EQ(h.calls.back(), "ReadData Reader A 1001 30");
  EXPECT_EQ(Le32(r.out, kKeyDataSize), 31);  // answered in our little-endian representation
}

TEST(KeyRpcStubs, RefusesWhatDoesNotDecodeWithoutCallingTheHandler) {
  test::FakeKeyHandler h;
  auto good = Stub().str("Reader A").u32(0).bytes(kKeyDataSize, 0).u32(100).b;
  auto with = [&](std::size_t at, std::uint32_t v) {
    auto b = good;
    for (int i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
    return b;
  };
  const std::size_t lenAt = good.size() - 4;
  struct Case {
    const char* what;
    std::uint16_t op;
    std::vector<std::uint8_t> in;
  } cases[] = {
      {"length above the block", kOpReadData, with(lenAt, 9901)},
      {"negative length", kOpWriteData, with(lenAt, 0xFFFFFFFF)},
      {"block cut short", kOpReadData, std::vector<std::uint8_t>(good.begin(), good.begin() + 5000)},
      {"length missing", kOpWriteData, std::vector<std::uint8_t>(good.begin(), good.begin() + lenAt)},
      {"actual count above maximum", kOpReadData, with(0, 3)},
      {"string offset", kOpReadData, with(4, 1)},
      {"string runs past the stub", kOpIsReaderInserted, Stub().u32(50).u32(0).u32(50).bytes(10, 'a').b},
      {"huge string counts", kOpIsReaderInserted, Stub().u32(0xFFFFFFFF).u32(0).u32(0xFFFFFFFF).bytes(10, 'a').b},
      {"second string missing", kOpVerifyPIN, Stub().str("Reader A").b},
      {"third string missing", kOpChangePIN, Stub().str("a").str("b").b},
      {"unterminated string", kOpIsReaderInserted, Stub().u32(2).u32(0).u32(2).bytes(2, 'x').b},
      {"slot missing", kOpDeleteData, Stub().str("a").b},
      {"empty stub", kOpGetReaderSerialNumber, {}},
  };
  for (auto& c : cases) {
    auto r = Call(h, c.op, c.in);
    EXPECT_EQ(r.status, rpc::kRpcBadStubData) << c.what;
  }
  EXPECT_TRUE(h.calls.empty());
  // The limit itself is accepted.
  EXPECT_EQ(Call(h, kOpReadData, with(lenAt, 9900)).status, 0u);
}

TEST(KeyRpcStubs, InterfaceCarriesTheIdentityAndLimits) {
  test::FakeKeyHandler h;
  rpc::RpcInterface itf = MakeKeyRpcInterface(&h);
  EXPECT_EQ(itf.uuid.ToString(), kKeyRpcUuid);
  EXPECT_EQ(itf.major, 1);
  EXPECT_EQ(itf.minor, 0);
  EXPECT_EQ(itf.maxCalls, 4u);
  EXPECT_EQ(itf.maxRequestBytes, 15000u);
  ASSERT_EQ(itf.ops.size(), 10u);
  auto in = Stub().str("E:\\").b;
  NdrReader r(in.data(), in.size(), true);
  NdrWriter w;
  EXPECT_EQ(itf.ops[kOpIsReaderInserted](r, w), 0u);
  EXPECT_EQ(h.calls.back(), "IsReaderInserted E:\\");
}
