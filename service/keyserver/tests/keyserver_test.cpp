// The key server's checks that come before the key-access object is reached.
#include "zemir/service/keyserver.h"

#include <gtest/gtest.h>

#include <cstring>

#include "temp_prefix.h"
#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/keys/aes.h"

namespace zemir::test {
namespace {

class KeyServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("ZEMIR_NO_HOST_MEDIA", "1", 1);  // only the drives a test maps
    GetTraceMaker().Open((prefix_.path() + "/k.log").c_str(), 900);
  }
  std::string Log() const { return ReadFile(prefix_.path() + "/k.log"); }

  // A block as a caller makes it: header (its first field its length) + payload, encrypted.
  static std::int32_t Encrypt(const char* pass, std::int32_t headerLen, const std::string& payload, KeyDataBlock& block) {
    std::vector<BYTE> plain(20, 0);
    std::memcpy(plain.data(), &headerLen, 4);
    plain.insert(plain.end(), payload.begin(), payload.end());
    DWORD cap = static_cast<DWORD>(block.size());
    EXPECT_TRUE(encrypt_aes(pass, plain.data(), static_cast<DWORD>(plain.size()), block.data(), &cap));
    return static_cast<std::int32_t>(cap);
  }

  TempPrefix prefix_;
};

TEST_F(KeyServerTest, WriteDataRefusesBlocksItCannotTrust) {
  CKeyServer server;
  KeyDataBlock block{};
  std::int32_t len = Encrypt("not the transport pass", 20, "payload", block);
  EXPECT_EQ(server.WriteData("E:\\", 2, block, len), 0);
  EXPECT_NE(Log().find("Wrong pass to decrypt."), std::string::npos);

  // A header whose length field points past the plaintext is refused before any copy.
  len = Encrypt(kWriteTransportPass, 5000, "payload", block);
  EXPECT_EQ(server.WriteData("E:\\", 2, block, len), 0);
  EXPECT_NE(Log().find("WriteData err header 5000 of 27"), std::string::npos);
  len = Encrypt(kWriteTransportPass, 3, "payload", block);
  EXPECT_EQ(server.WriteData("E:\\", 2, block, len), 0);

  // A length that is not whole cipher blocks, or none at all.
  len = 17;
  EXPECT_EQ(server.WriteData("E:\\", 2, block, len), 0);
  len = 0;
  EXPECT_EQ(server.WriteData("E:\\", 2, block, len), 0);
  EXPECT_EQ(Log().find("Len2"), std::string::npos);  // the key-access object was never reached
}

TEST_F(KeyServerTest, OneTimePasswordCheckNeedsTheSubAuthSwitch) {
  CKeyServer server;
  KeyDataBlock block{};
  block[0] = 'x';
  std::int32_t len = 9900;
  EXPECT_EQ(server.ReadData("anna", kOtpSlot, block, len), 0);
  EXPECT_NE(Log().find("---------ReadData(...)reader_name=(anna), appid=(1001), len=(9900)"), std::string::npos);
  EXPECT_NE(Log().find("EnableSubAuth is turned off. Exit"), std::string::npos);
  EXPECT_EQ(block[0], 'x');
  EXPECT_EQ(len, 9900);

  // With the switch on and the password alone allowed (mode 0), the check passes untouched.
  WriteRegDword(HKEY_LOCAL_MACHINE, kProductKey, "EnableSubAuth", 1);
  EXPECT_EQ(server.ReadData("anna", kOtpSlot, block, len), 1);
  EXPECT_EQ(block[0], 'x');
  EXPECT_EQ(len, 9900);
}

TEST_F(KeyServerTest, PinsAreNeverLogged) {
  CKeyServer server;
  server.VerifyPIN("E:\\", "secret-pin-1");
  server.ChangePIN("E:\\", "secret-pin-1", "other-pin-22");
  std::string log = Log();
  EXPECT_NE(log.find("-----VerifyPIN(...)reader_name=(E:\\), pin=(12)"), std::string::npos);
  EXPECT_NE(log.find("----ChangePIN(...); reader_name=(E:\\), pin=(12), newpin=(12); "), std::string::npos);
  EXPECT_EQ(log.find("secret-pin-1"), std::string::npos);
  EXPECT_EQ(log.find("other-pin-22"), std::string::npos);
}

}  // namespace
}  // namespace zemir::test
