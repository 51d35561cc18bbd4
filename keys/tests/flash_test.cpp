#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "key_fixture.h"
#include "zemir/keys/aes.h"
#include "zemir/keys/smartkey.h"
#include "zemir/platform/desktop.h"

using namespace zemir;

namespace {

DWORD Le32(const BYTE* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<DWORD>(p[3]) << 24; }

// Decrypts one record of a key data file with `pass`; empty when it does not decrypt.
std::vector<BYTE> Record(const std::string& file, size_t offset, const char* pass) {
  std::string bytes = test::ReadFile(file);
  if (bytes.size() < offset + 4) return {};
  DWORD len = Le32(reinterpret_cast<const BYTE*>(bytes.data() + offset));
  if (bytes.size() < offset + 4 + len) return {};
  std::vector<BYTE> out(len);
  DWORD cap = len;
  if (!decrypt_aes(pass, reinterpret_cast<const BYTE*>(bytes.data() + offset + 4), len, out.data(), &cap)) return {};
  out.resize(cap);
  return out;
}

}  // namespace

class Flash : public test::KeyTest {
 protected:
  void SetUp() override {
    KeyTest::SetUp();
    dir_ = MakeStick('E', test::kStickInterface);
    file_ = dir_ + "/_zemir/zem.zem";
  }
  std::string dir_, file_;
};

TEST_F(Flash, NewDriveVerifiesWithAnyPinAndGetsAVersion8Header) {
  CSmartKey_cpl key;
  EXPECT_FALSE(key.IsKeyDllInstalled());
  key.ChooseReader("E:\\");
  DWORD dsn4 = DSN4("E:\\", nullptr);
  EXPECT_EQ(key.currentSerial(), dsn4);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", dsn4);
  EXPECT_EQ(key.serialText(), hex);

  BYTE buf[9000];
  DWORD len = sizeof buf;
  EXPECT_TRUE(key.ReadData(1, buf, &len));  // no key data file yet: empty
  EXPECT_EQ(len, 0u);

  ASSERT_TRUE(key.VerifyPassword("any PIN at all"));
  ASSERT_TRUE(std::filesystem::exists(file_));
  std::vector<BYTE> header = Record(file_, 0, "2958");
  ASSERT_EQ(header.size(), 984u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(header.data())), std::string("ZEMIR_") + hex);
  EXPECT_EQ(Le32(header.data() + 52), 8u);
  EXPECT_EQ(Le32(header.data() + 88), dsn4);
  EXPECT_EQ(Le32(header.data() + 92), 0u);
  EXPECT_EQ(std::filesystem::file_size(file_), 996u);

  // A second object: the right PIN verifies, a wrong one does not.
  CSmartKey_cpl again;
  again.ChooseReader("E:\\");
  EXPECT_FALSE(again.VerifyPassword("1234"));
  EXPECT_TRUE(Logged("ReadData. decrypt_aes2 fail = 992 E:\\"));
  EXPECT_TRUE(again.VerifyPassword("2958"));
  EXPECT_EQ(again.headerSerial(), dsn4);
  EXPECT_TRUE(again.VerifyPassword(""));  // empty means the default PIN
}

TEST_F(Flash, DataWrittenWithTheTransportPassReadsThroughTheSecondTry) {
  CSmartKey_cpl key;
  key.ChooseReader("E:\\");
  ASSERT_TRUE(key.VerifyPassword("2958"));
  // Slot 1 as a remote writer leaves it: encrypted with the transport pass.
  std::vector<BYTE> plain(8984, 0);
  std::memcpy(plain.data(), "remote data", 11);
  std::vector<BYTE> cipher(9000);
  DWORD clen = static_cast<DWORD>(cipher.size());
  ASSERT_TRUE(encrypt_aes(kTransportPass, plain.data(), 8984, cipher.data(), &clen));
  std::vector<BYTE> file(1000 + 4 + clen);
  std::string old = test::ReadFile(file_);
  std::memcpy(file.data(), old.data(), old.size());
  file[1000] = static_cast<BYTE>(clen);
  file[1001] = static_cast<BYTE>(clen >> 8);
  std::memcpy(file.data() + 1004, cipher.data(), clen);
  FILE* f = fopen(file_.c_str(), "wb");
  fwrite(file.data(), 1, file.size(), f);
  fclose(f);

  std::vector<BYTE> out(9000, 0xBD);
  DWORD len = 9000;
  ASSERT_TRUE(key.ReadData(1, out.data(), &len));
  EXPECT_EQ(len, 8984u);
  EXPECT_EQ(std::memcmp(out.data(), "remote data", 11), 0);
  EXPECT_TRUE(Logged("ReadData. decrypt_aes fail = 8992"));
}

TEST_F(Flash, ChangePinReencryptsBothSlotsAndTheOldPinFails) {
  std::vector<BYTE> one(9000, 0), two(9000, 0);
  std::memcpy(one.data(), "profiles here", 13);
  std::memcpy(two.data(), "second area", 11);
  std::string before;
  {
    CSmartKey_cpl key;
    key.ChooseReader("E:\\");
    ASSERT_TRUE(key.VerifyPassword("2958"));
    DWORD l1 = 13, l2 = 11;
    ASSERT_TRUE(key.WriteData(1, one.data(), &l1, 9000));
    EXPECT_EQ(l1, 8992u);
    ASSERT_TRUE(key.WriteData(2, two.data(), &l2, 9000));
    EXPECT_EQ(std::filesystem::file_size(file_), 18996u);

    // After a refused PIN the change is refused and the file stays as it was.
    before = test::ReadFile(file_);
    EXPECT_FALSE(key.VerifyPassword("9999"));
    EXPECT_FALSE(key.ChangePIN("9999", "4321"));
    EXPECT_EQ(test::ReadFile(file_), before);

    ASSERT_TRUE(key.VerifyPassword("2958"));
    ASSERT_TRUE(key.ChangePIN("ignored", "4321"));
  }
  EXPECT_TRUE(Record(file_, 1000, "2958").empty());
  EXPECT_EQ(std::memcmp(Record(file_, 1000, "4321").data(), "profiles here", 13), 0);
  EXPECT_EQ(std::memcmp(Record(file_, 10000, "4321").data(), "second area", 11), 0);
  EXPECT_EQ(Le32(Record(file_, 0, "4321").data() + 52), 8u);

  CSmartKey_cpl key;
  key.ChooseReader("E:\\");
  EXPECT_FALSE(key.VerifyPassword("2958"));
  ASSERT_TRUE(key.VerifyPassword("4321"));
  std::vector<BYTE> out(9000);
  DWORD len = 9000;
  ASSERT_TRUE(key.ReadData(2, out.data(), &len));
  EXPECT_EQ(len, 8984u);
  EXPECT_EQ(std::memcmp(out.data(), "second area", 11), 0);

  // A drive that turns write-protected: the change fails and the old PIN still opens the file.
  before = test::ReadFile(file_);
  SetDosDword("E:ReadOnly", 1);
  EXPECT_FALSE(key.ChangePIN("4321", "5555"));
  EXPECT_EQ(test::ReadFile(file_), before);
  CSmartKey_cpl other;
  other.ChooseReader("E:\\");
  EXPECT_TRUE(other.VerifyPassword("4321"));
}

TEST_F(Flash, HeaderVersionsSelectTheirSerialMethod) {
  // An interface path on which every method gives a different value.
  const std::string iface = "\\\\?\\usbstor#disk&ven_z&prod_p&rev_1#0a1b2c3d4e5&7#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
  SetDos("E:Interface", iface);
  struct Case {
    DWORD version;
    DWORD expected;
    const char* line;
  } cases[] = {
      {3, 0x1A2B3C4D, "v3 key"},
      {4, DsnFromInterfacePath(DsnMethod::Dsn2, iface, nullptr), "v4 key"},
      {5, DsnFromInterfacePath(DsnMethod::Dsn2Sum, iface, nullptr), "v5 key"},
      {6, DsnFromInterfacePath(DsnMethod::Dsn3, iface, nullptr), "v6 key"},
      {7, DsnFromInterfacePath(DsnMethod::Dsn3Amp, iface, nullptr), "v7 key"},
      {8, DsnFromInterfacePath(DsnMethod::Dsn4, iface, nullptr), nullptr},
  };
  EXPECT_EQ(cases[1].expected, 0x12345u);
  for (const Case& c : cases) {
    {
      CSmartKey_cpl writer;
      writer.ChooseReader("E:\\");
      BYTE header[96] = {};
      std::memcpy(header, "ZEMIR_OLD", 9);
      header[52] = static_cast<BYTE>(c.version);
      header[88] = 0x11;  // a serial recorded by the old version
      DWORD len = 96;
      ASSERT_TRUE(writer.WriteData(0, header, &len, 96));
    }
    CSmartKey_cpl key;
    key.ChooseReader("E:\\");
    ASSERT_TRUE(key.VerifyPassword("2958")) << c.version;
    EXPECT_EQ(key.currentSerial(), c.expected) << c.version;
    if (c.line) {
      EXPECT_EQ(key.headerSerial(), c.expected);
      EXPECT_TRUE(key.serialText().empty());
      EXPECT_TRUE(Logged(c.line)) << c.line;
    } else {
      EXPECT_EQ(key.headerSerial(), 0x11u);
      EXPECT_FALSE(key.serialText().empty());
    }
  }
  // With UseOldSerial a version-3 key keeps its serial as text, and new headers are version 3.
  SetProductDword("UseOldSerial", 1);
  {
    CSmartKey_cpl writer;
    writer.ChooseReader("E:\\");
    BYTE header[96] = {};
    std::memcpy(header, "ZEMIR_OLD", 9);
    header[52] = 3;
    DWORD len = 96;
    ASSERT_TRUE(writer.WriteData(0, header, &len, 96));
  }
  CSmartKey_cpl key;
  key.ChooseReader("E:\\");
  ASSERT_TRUE(key.VerifyPassword("2958"));
  EXPECT_EQ(key.serialText(), "1A2B3C4D");
  std::filesystem::remove(file_);
  CSmartKey_cpl fresh;
  fresh.ChooseReader("E:\\");
  ASSERT_TRUE(fresh.VerifyPassword("x"));
  EXPECT_TRUE(Logged("Using old serial NUM"));
  std::vector<BYTE> h = Record(file_, 0, "2958");
  ASSERT_FALSE(h.empty());
  EXPECT_EQ(Le32(h.data() + 52), 3u);
  EXPECT_EQ(Le32(h.data() + 88), 0x1A2B3C4Du);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(h.data())), "ZEMIR_1A2B3C4D");
}

TEST_F(Flash, OldKeyWarningGoesThroughTheMessageHook) {
  const std::string iface = "\\\\?\\usbstor#disk&ven_z&prod_p&rev_1#0a1b2c3d4e5&7#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
  SetDos("E:Interface", iface);
  {
    CSmartKey_cpl writer;
    writer.ChooseReader("E:\\");
    BYTE header[96] = {};
    std::memcpy(header, "ZEMIR_V4", 8);
    header[52] = 4;
    DWORD len = 96;
    ASSERT_TRUE(writer.WriteData(0, header, &len, 96));
  }
  std::string shown;
  platform::SetMessageBoxHook([&](const std::string& text, const std::string& caption, UINT) {
    shown = caption + ": " + text;
    return 1;
  });
  std::string before = test::ReadFile(file_);
  CSmartKey_cpl key;
  key.ChooseReader("E:\\");
  ASSERT_TRUE(key.VerifyPassword("2958"));
  EXPECT_FALSE(key.ChangePIN("2958", "1111"));
  platform::SetMessageBoxHook(nullptr);
  EXPECT_EQ(shown,
            "Zemir Logon Key: This key was created in older version of Zemir, please disable it and setup again before "
            "change PIN.");
  EXPECT_EQ(test::ReadFile(file_), before);
}

TEST_F(Flash, DiscoveryReportsAKeyDriveOnceAndWriteProtectedDrives) {
  // E: becomes a key drive (header plus logon profiles make the file larger than 3,000 bytes).
  {
    CSmartKey_cpl key(KeyVariant::Console);
    key.ChooseReader("E:\\");
    ASSERT_TRUE(key.VerifyPassword("2958"));
    key.AddLogonProfile("CORP", "anna", "secret");
    EXPECT_EQ(key.WriteLogonProfiles(), 8992);
  }
  CSmartKey_cpl key;
  EXPECT_EQ(key.IsAnyReaderConnected(), "E:\\");
  EXPECT_EQ(key.IsAnyReaderConnected(), "");
  EXPECT_TRUE(key.IsReaderInserted("E:\\", true));
  key.ClearLastReportedReader();
  EXPECT_EQ(key.IsAnyReaderConnected(), "E:\\");
  std::filesystem::rename(file_, file_ + ".away");
  EXPECT_FALSE(key.IsReaderInserted("e:\\", true));
  EXPECT_EQ(key.lastReportedReader(), "");
  std::filesystem::rename(file_ + ".away", file_);
  EXPECT_EQ(key.IsAnyReaderConnected(), "E:\\");

  // The profiles decode from slot 1.
  key.ChooseReader("E:\\");
  ASSERT_TRUE(key.VerifyPassword("2958"));
  std::vector<BYTE> slot(9000);
  DWORD len = 9000;
  ASSERT_TRUE(key.ReadData(1, slot.data(), &len));
  LogonProfile table[kLogonProfileCount];
  ASSERT_GE(DecodeLogonProfiles(slot.data(), len, table), 1);
  EXPECT_STREQ(table[0].domain, "CORP");
  EXPECT_STREQ(table[0].user, "anna");
  EXPECT_STREQ(table[0].password, "secret");

  // A drive without key data but with media is reported as its root; write-protected: the text.
  std::filesystem::remove(file_);
  CSmartKey_cpl plain;
  EXPECT_EQ(plain.IsAnyReaderConnected(), "E:\\");
  SetDosDword("E:ReadOnly", 1);
  CSmartKey_cpl ro;
  EXPECT_EQ(ro.IsAnyReaderConnected(), "USB key is write protected");
  EXPECT_TRUE(Logged("GetUSB_Disk, write-protected:  E:\\"));
  // A new key cannot be set up on it: the header write fails and so does the verification.
  ro.ChooseReader("E:\\");
  EXPECT_FALSE(ro.VerifyPassword("2958"));
  EXPECT_FALSE(std::filesystem::exists(file_));

  // Fixed drives and C: are not keys; a 20-character drive text is refused.
  CSmartKey_cpl other;
  other.ChooseReader("E:\\");
  other.ChooseReader("E:\\0123456789ABCDEFG");
  EXPECT_EQ(other.reader(), "E:\\");
  EXPECT_TRUE(Logged("Error ChooseReader E:\\0123456789ABCDEFG"));
}

TEST_F(Flash, CorruptKeyFilesAndOversizedLengthsAreRefused) {
  CSmartKey_cpl key;
  key.ChooseReader("E:\\");
  ASSERT_TRUE(key.VerifyPassword("2958"));
  std::vector<BYTE> buf(9000, 0);
  DWORD len = 9000;
  ASSERT_TRUE(key.WriteData(1, buf.data(), &len, 9000));

  // A caller length above the buffer it gave.
  len = 100;
  EXPECT_FALSE(key.WriteData(5, buf.data(), &len, 50));
  EXPECT_TRUE(Logged("WriteData err len 100"));
  // Another slot with a length above the work area.
  std::vector<BYTE> big(20000, 1);
  len = 20000;
  EXPECT_FALSE(key.WriteData(7, big.data(), &len));

  // A record length above the capacity is cut to it (and then does not decrypt).
  std::vector<BYTE> small(100);
  len = 100;
  EXPECT_FALSE(key.ReadData(1, small.data(), &len));
  EXPECT_TRUE(Logged("Len too big"));

  // A record length beyond the end of the file: truncated.
  std::string bytes = test::ReadFile(file_);
  bytes.resize(5000);
  FILE* f = fopen(file_.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  len = 9000;
  EXPECT_FALSE(key.ReadData(1, buf.data(), &len));
  EXPECT_EQ(len, 0u);
  EXPECT_TRUE(Logged("ReadData, truncated zx file"));
  // A record length of 0xFFFFFFFF with a huge capacity.
  bytes[1000] = bytes[1001] = bytes[1002] = bytes[1003] = static_cast<char>(0xFF);
  f = fopen(file_.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  len = 0x7FFFFFFF;
  EXPECT_FALSE(key.ReadData(1, buf.data(), &len));
  EXPECT_TRUE(Logged("ReadData err len"));
  // Three bytes of a length.
  bytes.resize(1003);
  f = fopen(file_.c_str(), "wb");
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
  len = 9000;
  EXPECT_FALSE(key.ReadData(1, buf.data(), &len));
  // Slot 2 beyond the end reads as empty.
  len = 9000;
  EXPECT_TRUE(key.ReadData(2, buf.data(), &len));
  EXPECT_EQ(len, 0u);

  // DeleteData removes the file and zeroes the serial's registry value.
  EXPECT_TRUE(key.DeleteData());
  EXPECT_TRUE(Logged("ClearUSBstick"));
  EXPECT_FALSE(std::filesystem::exists(file_));
  char name[16];
  std::snprintf(name, sizeof name, "%X", key.currentSerial());
  EXPECT_EQ(ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, name, 7), 0);
  // No reader: nothing to read or write.
  CSmartKey_cpl none;
  len = 10;
  EXPECT_FALSE(none.ReadData(1, buf.data(), &len));
  EXPECT_FALSE(none.WriteData(1, buf.data(), &len, 9000));
  EXPECT_FALSE(none.VerifyPassword("2958"));
}

TEST_F(Flash, UnlockProgramStartsFromTheCdDriveAtTheLogonDesktop) {
  setenv("ZEMIR_FAST_SLEEP", "1", 1);
  std::string cd = prefix_.path() + "/cd", img = prefix_.path() + "/cd.img";
  std::filesystem::create_directories(cd);
  ASSERT_EQ(std::system(("mkfs.vfat -C -i 0BAD0CD0 " + img + " 2000 >/dev/null 2>&1").c_str()), 0);
  SetDos("G:", cd);
  SetDos("G:Image", img);
  SetDosDword("G:Type", platform::DRIVE_CDROM);
  std::string marker = prefix_.path() + "/started";
  {
    std::ofstream s(cd + "/unlock.sh");
    s << "#!/bin/sh\npwd > " << marker << ".tmp && mv " << marker << ".tmp " << marker << "\n";
  }
  std::filesystem::permissions(cd + "/unlock.sh", std::filesystem::perms::owner_all);
  SetProduct("USBKey_biostart", "D:\\unlock.sh");

  // Another desktop than the logon desktop: nothing starts.
  setenv("ZEMIR_INPUT_DESKTOP", "Default", 1);
  CSmartKey_cpl key;
  key.IsAnyReaderConnected();
  EXPECT_FALSE(Logged("CheckBioKey_start"));

  // At the logon desktop with a wrong volume serial: logged and settled.
  CSmartKey_cpl::ResetUnlockStartSettled();
  setenv("ZEMIR_INPUT_DESKTOP", "WinLogon", 1);
  SetProductDword("USBKey_biostart_serial", 0x0BAD0CD1);
  key.IsAnyReaderConnected();
  EXPECT_TRUE(Logged("bio start serial worng 3281 3280"));

  CSmartKey_cpl::ResetUnlockStartSettled();
  SetProductDword("USBKey_biostart_serial", 0x0BAD0CD0);
  key.IsAnyReaderConnected();
  EXPECT_TRUE(Logged("CSmartKey_cpl::CheckBioKey_start, starting2 G:\\unlock.sh"));
  for (int i = 0; i < 200 && !std::filesystem::exists(marker); ++i) platform::Sleep(10);
  ASSERT_TRUE(std::filesystem::exists(marker));
  EXPECT_EQ(test::ReadFile(marker), cd + "\n");  // started in the drive's root
  // Settled: the next discovery does not start it again.
  std::filesystem::remove(marker);
  key.IsAnyReaderConnected();
  platform::Sleep(100);
  EXPECT_FALSE(std::filesystem::exists(marker));
  unsetenv("ZEMIR_INPUT_DESKTOP");
  unsetenv("ZEMIR_FAST_SLEEP");
}
