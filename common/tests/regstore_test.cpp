#include "zemir/common/regstore.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "temp_prefix.h"
#include "zemir/common/trace.h"

using namespace zemir;

namespace {

constexpr const char* kKey = "SOFTWARE\\Zemir";

void SetRaw(const char* name, DWORD type, const void* data, DWORD cb) {
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(k, name, type, static_cast<const BYTE*>(data), cb), ERROR_SUCCESS);
  RegCloseKey(k);
}
void SetSz(const char* name, const std::string& s) {
  SetRaw(name, REG_SZ, s.c_str(), static_cast<DWORD>(s.size() + 1));
}

// Points the log at a file in the prefix so log lines can be checked.
std::string OpenLog(const test::TempPrefix& p) {
  std::string path = p.path() + "/test.log";
  GetTraceMaker().Open(path.c_str(), 900);
  return path;
}

}  // namespace

TEST(RegStore, DwordReadsAsSignedTextAndUnsignedString) {
  test::TempPrefix prefix;
  DWORD all = 0xFFFFFFFFu;
  SetRaw("Big", REG_DWORD, &all, 4);
  char buf[32];
  std::memset(buf, 0x55, sizeof buf);
  EXPECT_STREQ(ReadRegText(HKEY_LOCAL_MACHINE, kKey, "Big", buf, sizeof buf), "-1");
  EXPECT_EQ(ReadRegString(kKey, "Big"), "4294967295");
  SetSz("Name", "hello");
  EXPECT_STREQ(ReadRegText(HKEY_LOCAL_MACHINE, kKey, "Name", buf, sizeof buf), "hello");
  // A value that does not fit leaves the text empty; so does a missing one.
  EXPECT_STREQ(ReadRegText(HKEY_LOCAL_MACHINE, kKey, "Name", buf, 6), "");
  EXPECT_STREQ(ReadRegText(HKEY_LOCAL_MACHINE, kKey, "Missing", buf, sizeof buf), "");
  EXPECT_EQ(ReadRegText(HKEY_LOCAL_MACHINE, kKey, "Name", nullptr, 10), nullptr);
}

TEST(RegStore, ReadRegIntTable) {
  test::TempPrefix prefix;
  struct Case {
    const char* text;
    int expected;
  } cases[] = {{"0", 0}, {"007", 0}, {"", 3}, {" ", 3}, {"12", 12}, {"-5", -5}, {"1.5", 3}, {"abc", 3},
               {"1234567890123456789012345", 3}, {" 42", 42}, {"99999999999999999", 2147483647}};
  for (const auto& c : cases) {
    SetSz("V", c.text);
    EXPECT_EQ(ReadRegInt(HKEY_LOCAL_MACHINE, kKey, "V", 3), c.expected) << '"' << c.text << '"';
  }
  EXPECT_EQ(ReadRegInt(HKEY_LOCAL_MACHINE, kKey, "Missing", 3), 3);
  DWORD seven = 7;
  SetRaw("D", REG_DWORD, &seven, 4);
  EXPECT_EQ(ReadRegInt(HKEY_LOCAL_MACHINE, kKey, "D", 3), 7);
  EXPECT_EQ(ReadRegInt(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nowhere", "D", 9), 9);
}

TEST(RegStore, ReadRegStringRefusesLongValuesWithALogLine) {
  test::TempPrefix prefix;
  std::string log = OpenLog(prefix);
  SetSz("Long", std::string(1024, 'x'));  // 1025 bytes with the terminator
  EXPECT_EQ(ReadRegString(kKey, "Long"), "");
  SetSz("Huge", std::string(5000, 'x'));
  EXPECT_EQ(ReadRegString(kKey, "Huge"), "");
  SetSz("Fits", std::string(1023, 'y'));
  EXPECT_EQ(ReadRegString(kKey, "Fits"), std::string(1023, 'y'));
  EXPECT_EQ(ReadRegString(kKey, "Missing"), "");
  std::string text = test::ReadFile(log);
  EXPECT_NE(text.find("Err ReadReg Long 0 401\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Err ReadReg Huge EA 1389\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Err ReadReg Missing 2 0\r\n"), std::string::npos) << text;
}

TEST(RegStore, ReadRegHexDecodesTextAndKeepsBinary) {
  test::TempPrefix prefix;
  std::string log = OpenLog(prefix);
  SetSz("H", "0A0b");
  BYTE buf[64];
  std::memset(buf, 0xbd, sizeof buf);
  DWORD len = sizeof buf;
  EXPECT_EQ(ReadRegHex(kKey, "H", buf, &len), 2u);
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(buf[0], 0x0A);
  EXPECT_EQ(buf[1], 0x0B);
  EXPECT_NE(test::ReadFile(log).find("ReadReg HEX 0A0B"), std::string::npos);

  BYTE bin[50];
  for (int i = 0; i < 50; ++i) bin[i] = static_cast<BYTE>(i);
  SetRaw("B", REG_BINARY, bin, 50);
  len = sizeof buf;
  EXPECT_EQ(ReadRegHex(kKey, "B", buf, &len), 50u);
  EXPECT_EQ(std::memcmp(buf, bin, 50), 0);
  DWORD sizeOnly = 0;
  EXPECT_EQ(ReadRegHex(kKey, "B", nullptr, &sizeOnly), 50u);
  EXPECT_EQ(sizeOnly, 50u);
  len = 10;  // too small
  EXPECT_EQ(ReadRegHex(kKey, "B", buf, &len), 0u);
  EXPECT_EQ(len, 0u);
  // Hex text exactly as long as the buffer: decoded without writing past it.
  SetSz("Full", "0102030");  // 8 bytes with terminator, odd digit count
  BYTE small[8];
  len = sizeof small;
  EXPECT_EQ(ReadRegHex(kKey, "Full", small, &len), 3u);
  EXPECT_EQ(small[2], 0x03);
}

TEST(RegStore, WritesCreateKeysAndDeleteOnNull) {
  test::TempPrefix prefix;
  EXPECT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\New\\Deep", "S", "text"));
  EXPECT_EQ(ReadRegString("SOFTWARE\\Zemir\\New\\Deep", "S"), "text");
  EXPECT_TRUE(WriteRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\New\\Deep", "S", nullptr));
  EXPECT_FALSE(WriteRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\New\\Deep", "S", nullptr));

  EXPECT_TRUE(WriteRegDword(HKEY_LOCAL_MACHINE, kKey, "D", 5));
  EXPECT_EQ(ReadRegInt(HKEY_LOCAL_MACHINE, kKey, "D", 0), 5);
  EXPECT_TRUE(WriteRegDword(HKEY_LOCAL_MACHINE, kKey, "D", 0xFFFFFFFFu));
  EXPECT_EQ(ReadRegInt(HKEY_LOCAL_MACHINE, kKey, "D", 9), 9);
  EXPECT_FALSE(WriteRegDword(HKEY_LOCAL_MACHINE, kKey, "D", 0xFFFFFFFFu));

  BYTE b[3] = {1, 2, 3};
  WriteRegBinary(HKEY_LOCAL_MACHINE, kKey, "Bin", b, 3);
  BYTE out[8];
  DWORD len = sizeof out;
  EXPECT_EQ(ReadRegHex(kKey, "Bin", out, &len), 3u);
  WriteRegBinary(HKEY_LOCAL_MACHINE, kKey, "Bin", nullptr, 0);
  len = sizeof out;
  EXPECT_EQ(ReadRegHex(kKey, "Bin", out, &len), 0u);
}

TEST(RegStore, ProductSubkeyReadsDoNotCreateKeys) {
  test::TempPrefix prefix;
  EXPECT_EQ(ReadProductSubkeyValue("Missing", "X"), "");
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Zemir\\Missing", 0, KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  WriteRegString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Zemir\\Sub", "X", "value");
  EXPECT_EQ(ReadProductSubkeyValue("Sub", "x"), "value");
}

TEST(RegStore, HexEncodeAndDecode) {
  BYTE b[2] = {0x0A, 0xFF};
  EXPECT_EQ(HexEncode(b, 2), "0AFF");
  EXPECT_EQ(HexEncode(b, 0), "");
  EXPECT_EQ(HexEncode(b, -1), "");
  std::vector<BYTE> big(5000, 0xAB);
  EXPECT_EQ(HexEncode(big.data(), 4499).size(), 8998u);
  std::string cut = HexEncode(big.data(), 4500);
  EXPECT_EQ(cut.size(), 9002u);
  EXPECT_EQ(cut.substr(8998), "AB..");
  EXPECT_EQ(HexEncode(big.data(), 5000), cut);

  BYTE out[4];
  std::memset(out, 0xbd, sizeof out);
  EXPECT_EQ(HexDecode("0AFF", out, sizeof out), 2);
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(out[2], 0xbd);
  EXPECT_EQ(HexDecode("zz1", out, sizeof out), 1);  // non-digits count as 0; unpaired "1" dropped
  EXPECT_EQ(out[0], 0x00);
  EXPECT_EQ(HexDecode("0102030405", out, sizeof out), 4);  // never past the capacity
}
