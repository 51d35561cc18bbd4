#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "key_fixture.h"
#include "zemir/keys/aes.h"
#include "zemir/keys/smartkey.h"

using namespace zemir;

namespace {
DWORD Le32(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24; }
}  // namespace

// The file-backed test key library, loaded for real from the build folder.
class Library : public test::KeyTest {
 protected:
  void SetUp() override {
    KeyTest::SetUp();
    token_ = prefix_.path() + "/token";
    std::filesystem::create_directories(token_);
    SetProduct("TestKeyFolder", token_.c_str());
    Put("present", "");
    Put("serial", "C0FFEE");
  }
  void Put(const std::string& name, const std::string& text) { std::ofstream(token_ + "/" + name) << text; }
  std::string Calls() const { return test::ReadFile(token_ + "/calls.log"); }
  std::string token_;
  const char* reader_ = "Zemir Test Reader 0";
};

TEST_F(Library, BindsInitialisesAndFallsBackToX64AndAmd64Names) {
  Put("init_error", "Token locked by policy");
  SetProduct("USBKeyDllName", "zemir_testkey.dll");
  {
    CSmartKey_cpl key;
    EXPECT_TRUE(key.IsKeyDllInstalled());
    EXPECT_EQ(key.errorText(), "Token locked by policy");
    EXPECT_TRUE(Logged("IsKeyDllInstalled: 0  zemir_testkey.dll"));
    EXPECT_TRUE(Logged("Error fInitLibraryKey Token locked by policy"));
    EXPECT_TRUE(Logged("fInitLibraryKey OK,  "));
    // The binding is made once: a changed registry value has no effect.
    SetProduct("USBKeyDllName", " ");
    EXPECT_TRUE(key.IsKeyDllInstalled());
    EXPECT_EQ(key.IsAnyReaderConnected(), reader_);
  }
  EXPECT_NE(Calls().find("CloseLibrary"), std::string::npos);  // released at destruction

  std::filesystem::remove(token_ + "/init_error");
  SetProduct("USBKeyDllName", "zemir_testkey64.dll");
  {
    CSmartKey_cpl key;
    EXPECT_TRUE(key.IsKeyDllInstalled());
    EXPECT_EQ(key.loadedAlternateName(), "zemir_testkey64_x64.dll");
    EXPECT_TRUE(key.errorText().empty());
    EXPECT_TRUE(Logged("fInitLibraryKey OK,  zemir_testkey64_x64.dll"));
  }
  SetProduct("USBKeyDllName", "zemir_testkeyamd.dll");
  {
    CSmartKey_cpl key;
    EXPECT_TRUE(key.IsKeyDllInstalled());
    EXPECT_EQ(key.loadedAlternateName(), "zemir_testkeyamd_amd64.dll");
  }
  // Missing under all three names: library mode with failing stubs.
  SetProduct("USBKeyDllName", "zemir_nothere.dll");
  {
    CSmartKey_cpl key;
    EXPECT_TRUE(key.IsKeyDllInstalled());
    EXPECT_EQ(key.errorText(), "Unable to load key dllzemir_nothere.dll");
    EXPECT_TRUE(Logged("IsKeyDllInstalled failed to load zemir_nothere.dll 7E (zemir_nothere_amd64.dll)"));
    key.ChooseReader("r");
    EXPECT_FALSE(key.VerifyPassword("2958"));
    EXPECT_EQ(key.IsAnyReaderConnected(), "");
    EXPECT_EQ(key.GetReaderSerialNumber(nullptr), 0u);
  }
  // Short names mean flash-drive mode.
  for (const char* name : {"", " ", "a.b"}) {
    SetProduct("USBKeyDllName", name);
    CSmartKey_cpl key;
    EXPECT_FALSE(key.IsKeyDllInstalled()) << name;
  }
}

TEST_F(Library, MissingEntryPointsAreAnsweredByStubs) {
  SetProduct("USBKeyDllName", "zemir_testkey_partial.dll");
  CSmartKey_cpl key;
  EXPECT_TRUE(key.IsKeyDllInstalled());
  EXPECT_TRUE(Logged("IsKeyDllInstalled failed to load zemir_testkey_partial.dll fInitLibrary"));
  EXPECT_EQ(Calls().find("InitLibrary"), std::string::npos);
  // The library's own entry points stay in use.
  EXPECT_EQ(key.IsAnyReaderConnected(), reader_);
  key.ChooseReader(reader_);
  EXPECT_EQ(key.currentSerial(), 0u);  // GetReaderSerialNumber: stub
  EXPECT_TRUE(key.VerifyPassword("2958"));
  BYTE data[64] = "payload";
  DWORD len = 8;
  EXPECT_FALSE(key.WriteData(1, data, &len));  // WriteData: stub
  EXPECT_TRUE(Logged("error fWriteData, "));
  EXPECT_FALSE(std::filesystem::exists(token_ + "/slot1.bin"));
}

TEST_F(Library, DataRoundTripThroughTheTransportPass) {
  SetProduct("USBKeyDllName", "zemir_testkey.dll");
  CSmartKey_cpl key;
  ASSERT_EQ(key.IsAnyReaderConnected(), reader_);
  key.ChooseReader(reader_);
  EXPECT_EQ(key.currentSerial(), 0xC0FFEEu);
  EXPECT_EQ(key.serialText(), "C0FFEE");
  ASSERT_TRUE(key.VerifyPassword("2958"));

  std::vector<BYTE> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7);
  std::vector<BYTE> copy = data;
  DWORD len = 300;
  ASSERT_TRUE(key.WriteData(2, data.data(), &len));
  EXPECT_EQ(len, 336u);  // header and data, padded to whole blocks
  EXPECT_EQ(data, copy);  // the caller's buffer is left alone
  EXPECT_EQ(key.LastWrittenData().size(), 336u);

  // On the token: the library data header and the data, encrypted with the transport pass.
  std::string stored = test::ReadFile(token_ + "/slot2.bin");
  ASSERT_EQ(stored.size(), 336u);
  std::vector<BYTE> plain(336);
  DWORD cap = 336;
  ASSERT_TRUE(decrypt_aes(kTransportPass, reinterpret_cast<const BYTE*>(stored.data()), 336, plain.data(), &cap));
  EXPECT_EQ(cap, 320u);
  EXPECT_EQ(Le32(plain.data()), 20u);
  EXPECT_EQ(Le32(plain.data() + 4), 0xC0FFEEu);
  EXPECT_EQ(Le32(plain.data() + 8), 0u);
  EXPECT_EQ(std::memcmp(plain.data() + 20, copy.data(), 300), 0);

  std::vector<BYTE> out(1000, 0xBD);
  len = 1000;
  ASSERT_TRUE(key.ReadData(2, out.data(), &len));
  ASSERT_EQ(len, 300u);
  EXPECT_EQ(std::memcmp(out.data(), copy.data(), 300), 0);
  EXPECT_EQ(key.headerSerial(), 0xC0FFEEu);
  EXPECT_FALSE(Logged("Wrong HKserial2"));

  // An empty slot reads as length 0; a token with another serial is logged but read.
  len = 1000;
  ASSERT_TRUE(key.ReadData(3, out.data(), &len));
  EXPECT_EQ(len, 0u);
  Put("serial", "BEEF");
  CSmartKey_cpl other;
  other.ChooseReader(reader_);
  len = 1000;
  ASSERT_TRUE(other.ReadData(2, out.data(), &len));
  EXPECT_TRUE(Logged("Wrong HKserial2 C0FFEE, BEEF"));

  // Capacities beyond the work buffer and libraries that refuse are reported.
  std::vector<BYTE> huge(20000);
  len = 9989;
  EXPECT_FALSE(key.ReadData(2, huge.data(), &len));
  EXPECT_TRUE(Logged("ReadData err len 9989"));
  len = 100;  // smaller than the stored block: the library refuses
  EXPECT_FALSE(key.ReadData(2, huge.data(), &len));
  EXPECT_TRUE(Logged("error fReadData EA"));
  len = 9969;
  EXPECT_FALSE(key.WriteData(1, huge.data(), &len));
  EXPECT_TRUE(Logged("WriteData err len 9969"));
  // Data not encrypted with the transport pass does not decrypt: both tries are logged.
  std::ofstream(token_ + "/slot4.bin", std::ios::binary) << std::string(32, 'x');
  len = 1000;
  EXPECT_FALSE(key.ReadData(4, out.data(), &len));
  EXPECT_TRUE(Logged("ReadData. decrypt_aes fail = 32 48"));
  EXPECT_TRUE(Logged("ReadData. decrypt_aes2 fail = 32"));

  // DeleteData erases slots 1 and 2 and zeroes the serial's registry value.
  key.AddLogonProfile("D", "u", "p");
  EXPECT_TRUE(key.DeleteData());
  EXPECT_FALSE(std::filesystem::exists(token_ + "/slot2.bin"));
  EXPECT_TRUE(Logged("error fDeleteData1 2"));
  EXPECT_STREQ(key.LogonProfiles()[0].user, "u");  // slot 1 was not there: the table stays
  EXPECT_EQ(ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "C0FFEE", 7), 0);
}

TEST_F(Library, PinChangesRecordTheDefaultPinValues) {
  SetProduct("USBKeyDllName", "zemir_testkey.dll");
  CSmartKey_cpl key;
  key.ChooseReader(reader_);
  EXPECT_FALSE(key.VerifyPassword("0000"));
  EXPECT_TRUE(Logged("error fVerifyPIN, wrong PIN 6B 4"));

  ASSERT_TRUE(key.ChangePIN("2958", "1111"));
  EXPECT_EQ(ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "USBKeyDefaultPIN", 7), 0);
  EXPECT_EQ(test::ReadFile(token_ + "/pin"), "1111");
  EXPECT_FALSE(key.ChangePIN("2958", "2222"));
  EXPECT_TRUE(Logged("error ChangePIN, wrong PIN 6B 4"));
  EXPECT_TRUE(Logged("error fChangePIN, 6B, 4 4"));

  ASSERT_TRUE(key.ChangePIN("1111", "2958"));
  EXPECT_EQ(ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "USBKeyDefaultPIN", 7), 1);
  EXPECT_EQ(static_cast<DWORD>(ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "LastUSBKeySerial", 7)), 0xC0FFEEu);
  ASSERT_TRUE(key.ChangePIN("2958", "5820463719"));
  EXPECT_EQ(ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "USBKeyDefaultPIN09", 7), 1);
  EXPECT_TRUE(key.VerifyPassword("5820463719"));
  EXPECT_TRUE(key.WriteKeyHeader());  // nothing to do in library mode
}

TEST_F(Library, DiscoveryAndPresence) {
  SetProduct("USBKeyDllName", "zemir_testkey.dll");
  Put("second_reader", "Zemir Test Reader 1");
  CSmartKey_cpl key;
  std::string list = key.IsAnyReaderConnected();
  EXPECT_EQ(list, std::string("Zemir Test Reader 0\0Zemir Test Reader 1", 39));
  EXPECT_EQ(key.lastReportedReader(), reader_);
  EXPECT_TRUE(key.IsReaderInserted(reader_, false));
  std::filesystem::remove(token_ + "/present");
  EXPECT_FALSE(key.IsReaderInserted(reader_, false));
  EXPECT_EQ(key.lastReportedReader(), "");
  EXPECT_EQ(key.IsAnyReaderConnected(), "");

  std::string longName(53, 'r');
  key.ChooseReader(reader_);
  key.ChooseReader(longName.c_str());
  EXPECT_EQ(key.reader(), reader_);
  EXPECT_TRUE(Logged("Error ChooseReader " + longName));
  key.ChooseReader(std::string(52, 'r').c_str());
  EXPECT_EQ(key.reader().size(), 52u);
}

TEST_F(Library, ConsoleCopyLimitsLengthAndKeepsTheBlockItHandedOn) {
  SetProduct("USBKeyDllName", "zemir_testkey.dll");
  Put("slot_limit", "100");
  CSmartKey_cpl key(KeyVariant::Console);
  EXPECT_TRUE(Logged("CSmartKey_cpl"));
  key.ChooseReader(reader_);
  std::vector<BYTE> data(9000, 1);
  DWORD len = 8001;
  EXPECT_FALSE(key.WriteData(1, data.data(), &len));
  EXPECT_TRUE(Logged("WriteData err len 8001"));
  // The library refuses the block, yet the console keeps it (it stores it elsewhere).
  len = 200;
  EXPECT_FALSE(key.WriteData(1, data.data(), &len));
  EXPECT_EQ(key.LastWrittenData().size(), 224u);

  std::filesystem::remove(token_ + "/slot_limit");
  key.AddLogonProfile("CORP", "anna", "pw");
  int written = key.WriteLogonProfiles();
  EXPECT_EQ(written, 64);  // 20 bytes of header and 33 of profile, padded
  std::vector<BYTE> out(9000);
  len = 9000;
  ASSERT_TRUE(key.ReadData(1, out.data(), &len));
  LogonProfile table[kLogonProfileCount];
  ASSERT_EQ(DecodeLogonProfiles(out.data(), len, table), 1);
  EXPECT_STREQ(table[0].user, "anna");
}
