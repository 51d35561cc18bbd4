// NDR cursor: bounds, alignment relative to the stub start, byte order, strings.
#include "zemir/platform/rpc/ndr.h"

#include <gtest/gtest.h>

using namespace zemir::rpc;

TEST(NdrReader, AlignsRelativeToStartAndHonoursByteOrder) {
  const std::uint8_t le[] = {0xAA, 0, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xFF};
  NdrReader r(le, sizeof le, true);
  std::uint8_t b = 0;
  std::uint16_t s = 0;
  std::uint32_t w = 0;
  ASSERT_TRUE(r.U8(&b));
  ASSERT_TRUE(r.U16(&s));  // skips one pad byte
  EXPECT_EQ(s, 0x1234);
  ASSERT_TRUE(r.U32(&w));
  EXPECT_EQ(w, 0x12345678u);
  EXPECT_EQ(r.remaining(), 1u);

  const std::uint8_t be[] = {0x12, 0x34, 0x56, 0x78, 0xFF, 0xFF, 0xFF, 0xFE};
  NdrReader rb(be, sizeof be, false);
  std::int32_t i = 0;
  ASSERT_TRUE(rb.U32(&w));
  EXPECT_EQ(w, 0x12345678u);
  ASSERT_TRUE(rb.I32(&i));
  EXPECT_EQ(i, -2);
}

TEST(NdrReader, NeverReadsPastTheEndAndFailureLatches) {
  const std::uint8_t d[] = {1, 2, 3, 4, 5, 6};
  NdrReader r(d, sizeof d, true);
  std::uint8_t b;
  std::uint32_t w = 0xdeadbeef;
  ASSERT_TRUE(r.U8(&b));
  // The 32-bit field needs 3 bytes of padding and 4 bytes: only 5 are left.
  EXPECT_FALSE(r.U32(&w));
  EXPECT_EQ(w, 0xdeadbeefu);
  EXPECT_FALSE(r.ok());
  EXPECT_FALSE(r.U8(&b));  // latched even though bytes remain
  EXPECT_EQ(r.remaining(), 0u);

  NdrReader big(d, sizeof d, true);
  EXPECT_EQ(big.View(SIZE_MAX), nullptr);  // no overflow in the bounds check
  std::uint8_t out[8];
  NdrReader r2(d, sizeof d, true);
  EXPECT_FALSE(r2.Bytes(out, 7));
  NdrReader r3(d, 0, true);
  EXPECT_FALSE(r3.U8(&b));
}

TEST(NdrReader, ConformantVaryingStringChecksEveryCount) {
  auto str = [](std::uint32_t max, std::uint32_t off, std::uint32_t actual, std::string chars) {
    NdrWriter w;
    w.U32(max);
    w.U32(off);
    w.U32(actual);
    w.Bytes(chars.data(), chars.size());
    return w.bytes();
  };
  std::string out;
  auto ok = str(6, 0, 6, std::string("hello\0", 6));
  NdrReader r(ok.data(), ok.size(), true);
  ASSERT_TRUE(r.ConformantVaryingString(&out, 100));
  EXPECT_EQ(out, "hello");

  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    std::size_t maxChars;
  } bad[] = {
      {"actual above max", str(3, 0, 6, std::string("hello\0", 6)), 100},
      {"nonzero offset", str(6, 1, 6, std::string("hello\0", 6)), 100},
      {"zero actual", str(6, 0, 0, ""), 100},
      {"no terminator", str(5, 0, 5, "hello"), 100},
      {"embedded NUL", str(6, 0, 6, std::string("he\0lo\0", 6)), 100},
      {"runs past the stub", str(60, 0, 60, std::string("hello\0", 6)), 100},
      {"huge counts", str(0xFFFFFFFF, 0, 0xFFFFFFFF, "x"), 100},
      {"over the caller's limit", str(6, 0, 6, std::string("hello\0", 6)), 4},
      {"truncated counts", {6, 0, 0, 0, 0}, 100},
  };
  for (auto& c : bad) {
    NdrReader rb(c.bytes.data(), c.bytes.size(), true);
    std::string s = "untouched";
    EXPECT_FALSE(rb.ConformantVaryingString(&s, c.maxChars)) << c.what;
    EXPECT_FALSE(rb.ok()) << c.what;
    EXPECT_EQ(s, "untouched") << c.what;
  }
}

TEST(NdrWriter, RoundTripsThroughTheReader) {
  NdrWriter w;
  w.U8(7);
  w.ConformantVaryingString("E:\\");
  w.I32(-5);
  w.U16(0xBEEF);
  Uuid u;
  ASSERT_TRUE(Uuid::Parse("00000003-EAF3-4a7a-a0f2-bce4c30da78f", &u));
  w.WriteUuid(u);
  EXPECT_EQ(w.bytes()[4], 4u);  // maximum count after 3 pad bytes
  NdrReader r(w.bytes().data(), w.size(), true);
  std::uint8_t b;
  std::string s;
  std::int32_t i;
  std::uint16_t h;
  Uuid back;
  ASSERT_TRUE(r.U8(&b) && r.ConformantVaryingString(&s, 10) && r.I32(&i) && r.U16(&h) && r.ReadUuid(&back));
  EXPECT_EQ(s, "E:\\");
  EXPECT_EQ(i, -5);
  EXPECT_EQ(h, 0xBEEF);
  EXPECT_EQ(back.ToString(), "00000003-eaf3-4a7a-a0f2-bce4c30da78f");
  EXPECT_EQ(r.remaining(), 0u);

  EXPECT_FALSE(Uuid::Parse("00000003-eaf3-4a7a-a0f2-bce4c30da78", &u));
  EXPECT_FALSE(Uuid::Parse("00000003_eaf3-4a7a-a0f2-bce4c30da78f", &u));
  EXPECT_FALSE(Uuid::Parse("0000000g-eaf3-4a7a-a0f2-bce4c30da78f", &u));
}
