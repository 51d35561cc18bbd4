#include <cstring>

#include "key_fixture.h"
#include "zemir/keys/smartkey.h"

using namespace zemir;

namespace {

DWORD Positional(const char* after) {
  DWORD sum = 0;
  for (int j = 0; j <= 40 && after[j] && after[j] != '#' && after[j] != '&'; ++j) sum += static_cast<DWORD>(after[j] + j);
  return sum;
}
DWORD Sum16(const char* after, bool amp) {
  DWORD sum = 0;
  for (int j = 0; j < 16 && after[j] && after[j] != '#' && !(amp && after[j] == '&'); ++j) sum += static_cast<DWORD>(after[j]);
  return sum;
}

}  // namespace

class Serial : public test::KeyTest {};

TEST_F(Serial, DiskInterfaceMethodsOnTheDocumentedPath) {
  std::string out;
  const std::string path = test::kStickInterface;
  const char* after = "0019e06b9c7aa9b0e8c00013&0#";
  // DSN2 keeps digits and upper-case letters only: lower-case ones are skipped, leading zeros dropped.
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn2, path, &out), 0x19069790u);
  EXPECT_EQ(out, "190697908000");
  EXPECT_TRUE(Logged("USB DSN2: 190697908000, 19069790"));
  EXPECT_TRUE(Logged("#0019e06b9c7aa9b0e8c00013&0#{53f56307"));
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn4, path, &out), 0x19e06b9cu + Positional(after));
  EXPECT_EQ(out, "19e06b9c7aa9b0e8c00013");
  EXPECT_TRUE(Logged("USB DSN4: \\\\?\\usbstor#disk"));
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn2Sum, path, nullptr), 0x19069790u + Sum16(after, false));
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn3, path, nullptr), 0x19e06b9cu + Sum16(after, false));
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn3Amp, path, nullptr), 0x19e06b9cu + Sum16(after, true));

  // Only zeros: DSN4 collects nothing, the value is the checksum alone.
  std::string zeros = "\\\\?\\usbstor#disk&ven_a#0000&0#{x}";
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn4, zeros, &out), Positional("0000&"));
  EXPECT_EQ(out, "");
  // Nothing collected and no checksum: the fallback from "#" (bytes 23 25 27 29), as text too.
  std::string empty = "\\\\?\\usbstor#disk&ven_a#&0#{x}";
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn4, empty, &out), 0x29272523u);
  EXPECT_EQ(out, "29272523");
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn4, empty, nullptr), 0x29272523u);
  EXPECT_TRUE(Logged("USB DSN4: 29272523 0"));
  // DSN2's fallback starts at the character where collecting stopped; at the end there is none.
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn2, "\\\\?\\usbstor#disk&ven_a#000&0", &out), 0x2C2A2826u);
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn2, "\\\\?\\usbstor#disk&ven_a#000", &out), 0u);
  // No "_" followed by "#": value 0.
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn4, "\\\\?\\usbstor#disk", &out), 0u);
  // Eight hexadecimal digits above 7FFFFFFF read as 7FFFFFFF (before the checksum).
  // DSN2 then has 7FFFFFFF, which is replaced by the fallback of the stop character ("&" here).
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn2, "x_#FFFFFFFF12", nullptr), 0x7FFFFFFFu);
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn2, "x_#FFFFFFFF12&0", nullptr), 0x2C2A2826u);
  EXPECT_EQ(DsnFromInterfacePath(DsnMethod::Dsn4, "x_#FFFFFFFF", nullptr), 0x7FFFFFFFu + Positional("FFFFFFFF"));
}

TEST_F(Serial, DrivesFindTheirDiskAndVolumeSerials) {
  MakeStick('E', test::kStickInterface, "1A2B3C4D");
  std::string out;
  DWORD dsn4 = DSN4("E:\\", &out);
  EXPECT_EQ(dsn4, DsnFromInterfacePath(DsnMethod::Dsn4, test::kStickInterface, nullptr));
  EXPECT_EQ(out, "19e06b9c7aa9b0e8c00013");
  EXPECT_EQ(DSN2("E:\\", nullptr), 0x19069790u);
  EXPECT_EQ(GetUSBStickSerial("E:\\"), 0x1A2B3C4Du);

  // A drive letter that is not mapped, and a drive on no disk.
  EXPECT_EQ(DSN4("Q:\\", nullptr), 0u);
  EXPECT_TRUE(Logged("USB DSN2: Err0 2 \\\\.\\Q:"));
  EXPECT_EQ(GetUSBStickSerial("Q:\\"), 0u);
  EXPECT_TRUE(Logged("GetUSBStickSerial fail GetVolumeInformation 3"));

  // An ext4 image (no boot-sector signature): the volume information gives the serial.
  std::string img = prefix_.path() + "/ext.img";
  ASSERT_EQ(std::system(("mkfs.ext4 -q -U 5eed1234-0000-4000-8000-000000000000 " + img + " 2048 >/dev/null 2>&1").c_str()), 0);
  SetDos("F:Image", img);
  SetDosDword("F:Type", platform::DRIVE_REMOVABLE);
  EXPECT_EQ(GetUSBStickSerial("F:\\"), 0x5EED1234u);

  // The sector reader over the image.
  DiskSectorWinNT disk;
  ASSERT_TRUE(disk.Open("E:\\", true));
  BYTE sector[512];
  ASSERT_TRUE(disk.Read(0, sector, sizeof sector));
  EXPECT_EQ(std::memcmp(sector + 82, "FAT32", 5), 0);
  disk.Close();
}
