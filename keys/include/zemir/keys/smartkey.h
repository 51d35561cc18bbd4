// The key-access object CSmartKey_cpl: authentication keys through a key library (library mode)
// or key flash drives carrying the key data file "_zemir\zem.zem" (flash-drive mode).
//
// Use from the service: one object for the process's life; every RPC operation calls it under
// one lock (the object does not lock). Typical sequences:
//   discovery      IsAnyReaderConnected() -> ChooseReader(first name) -> IsReaderInserted(name, false)
//   PIN            ChooseReader(reader); VerifyPassword(pin); ChangePIN(old, new)
//   data           ChooseReader(reader); ReadData(slot, buf, &len) / WriteData(slot, buf, &len, cap)
//   erase          DeleteData()
//   serial         GetReaderSerialNumber(nullptr) on the current reader
//   one-time pass  ChooseReader(user name); VerifyPassword(one-time password)
// The console creates a short-lived object with KeyVariant::Console to write logon profiles.
// Every operation returns its result and leaves the reason of a failure in the diagnostic log.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zemir/keys/keylib.h"
#include "zemir/platform/win32.h"

namespace zemir {

namespace platform {
class Process;
}

// The service's and the console's copies differ in a few behaviours (see WriteData).
enum class KeyVariant { Service, Console };

// One logon profile of the table (narrow ANSI strings, NUL-padded).
struct LogonProfile {
  char domain[50];
  char user[50];  // empty marks the end of the table
  char password[41];
  char options[503];
  std::int32_t value;
};

constexpr int kLogonProfileCount = 64;
constexpr const char* kDefaultPin = "2958";
constexpr const char* kTransportPass = "8406152937";
constexpr const char* kDefaultPin09 = "5820463719";
constexpr DWORD kKeyHeaderSize = 96;
constexpr DWORD kLibraryHeaderSize = 20;
// Slots of the key data file: 0 header, 1 logon profiles, 2 second data area.
constexpr DWORD kSlot0Size = 1000;
constexpr DWORD kSlotSize = 9000;

// Encodes the used profiles (up to the first empty user name) as the profile buffer: per
// profile four elements tag, 2-byte big-endian length, value: 0x11 domain, 0x12 user name,
// 0x13 password (UTF-16LE, at most 39, 48, 39 characters), 0x14 options (ANSI, at most 298
// bytes). Returns the byte count, or -1 (with a log line) when `capacity` is too small.
int EncodeLogonProfiles(const LogonProfile* table, BYTE* out, size_t capacity);
// Decodes a profile buffer into `table` (cleared first), stopping at the first byte that is
// not a profile tag. Returns the number of profiles, or -1 with a log line when an element's
// length runs past the end of the buffer or past its field.
int DecodeLogonProfiles(const BYTE* data, size_t length, LogonProfile* table);

// The serial of the key registered for `user` in SOFTWARE\Zemir\1USBKeyList: the name of the
// first string value holding "user@..." (case-insensitive substring) or exactly the user.
std::optional<std::string> getUserUSBKeySerial(const char* user);

// Raw sector access of a drive (abstract): open, close, read, write in this order.
class DiskSectorRW {
 public:
  virtual ~DiskSectorRW() = default;
  virtual bool Open(const char* drive, bool readOnlyFallback) = 0;
  virtual void Close() = 0;
  virtual bool Read(std::uint64_t offset, BYTE* buffer, DWORD length) = 0;
  virtual bool Write(std::uint64_t offset, const BYTE* buffer, DWORD length) = 0;
};

// Over the volume \\.\X: of the drive path's first character.
class DiskSectorWinNT : public DiskSectorRW {
 public:
  DiskSectorWinNT();
  ~DiskSectorWinNT() override;
  bool Open(const char* drive, bool readOnlyFallback) override;
  void Close() override;
  bool Read(std::uint64_t offset, BYTE* buffer, DWORD length) override;
  bool Write(std::uint64_t offset, const BYTE* buffer, DWORD length) override;

 private:
  struct Impl;
  Impl* impl_;
};

// Volume serial of a drive root: the boot sector's for FAT32, FAT and NTFS, else the volume
// information's; 0 on failure.
DWORD GetUSBStickSerial(const char* driveRoot);

// The serial-number methods over the disk interface that holds the drive. `out`, when given,
// receives the collected serial characters (or the fallback in lower-case hexadecimal).
DWORD DSN2(const char* drivePath, std::string* out);
DWORD DSN2Sum(const char* drivePath, std::string* out);
DWORD DSN3(const char* drivePath, std::string* out);
DWORD DSN3Amp(const char* drivePath, std::string* out);
DWORD DSN4(const char* drivePath, std::string* out);
// The same computation on a disk interface path already found (tests, tools).
enum class DsnMethod { Dsn2, Dsn2Sum, Dsn3, Dsn3Amp, Dsn4 };
DWORD DsnFromInterfacePath(DsnMethod method, const std::string& path, std::string* out);

class CSmartKey_cpl {
 public:
  explicit CSmartKey_cpl(KeyVariant variant = KeyVariant::Service);
  ~CSmartKey_cpl();
  CSmartKey_cpl(const CSmartKey_cpl&) = delete;
  CSmartKey_cpl& operator=(const CSmartKey_cpl&) = delete;

  // True in library mode, false in flash-drive mode; binds the library on the first call.
  bool IsKeyDllInstalled();

  // --- key data ---
  // Writes `*length` bytes of `data` to a slot. Library mode: prefixed with the 20-byte
  // library data header, encrypted with the transport pass and handed to the library;
  // *length := bytes the library took. Flash-drive mode: slots 0, 1 and 2 store their fixed
  // plaintext size (984 / 8984 bytes): the caller's bytes, up to `bufferSize` (default
  // *length), then zeros; other slots store *length bytes at the file's start; encrypted with
  // the PIN; *length := ciphertext bytes. A length larger than the buffer or the work area
  // is refused with "WriteData err len %d". The caller's buffer is never written.
  bool WriteData(int slot, const BYTE* data, DWORD* length, DWORD bufferSize = 0);
  // Reads a slot into `data`: *length is the capacity in, the bytes read out.
  bool ReadData(int slot, BYTE* data, DWORD* length);
  // Erases the key's data (slots 1 and 2, or the key data file); always true.
  bool DeleteData();
  // Console: random-filled 9,000-byte buffer with the encoded profile table at its start,
  // written to slot 1. Bytes written, 0 on failure.
  int WriteLogonProfiles();
  // Adds a profile at the first free entry; its index, or -1 when all 64 are used.
  int AddLogonProfile(const char* domain, const char* user, const char* password);
  // Zeroes the first three profiles (so the table is empty).
  void ClearLogonProfiles();
  const LogonProfile* LogonProfiles() const { return profiles_.data(); }
  LogonProfile* LogonProfiles() { return profiles_.data(); }

  // --- serial numbers ---
  // Library mode: the library's serial (Bluetooth library: `text` gets the phone's MAC);
  // flash-drive mode: DSN4 of the current reader. `text` receives the serial text.
  DWORD GetReaderSerialNumber(std::string* text);

  // --- PIN ---
  bool VerifyPassword(const char* pin);
  bool ChangePIN(const char* oldPin, const char* newPin);
  // Flash-drive mode: writes a new key header to slot 0. False when the write failed.
  bool WriteKeyHeader();

  // --- discovery ---
  // Library mode: the library's reader list (names separated by NULs; c_str() is the first);
  // flash-drive mode: one drive root such as "E:\", "USB key is write protected", or empty.
  std::string IsAnyReaderConnected();
  void ChooseReader(const char* name);
  bool IsReaderInserted(const char* name, bool withKeyFile);
  void CheckBioKey_start();

  // --- state, for callers and logs ---
  const std::string& reader() const { return reader_; }
  const std::string& serialText() const { return serialText_; }
  DWORD currentSerial() const { return currentSerial_; }
  DWORD headerSerial() const { return headerSerial_; }
  int headerFlag() const { return headerFlag_; }
  const std::string& errorText() const { return errorText_; }
  const std::string& libraryName() const { return libName_; }
  const std::string& lastReportedReader() const { return lastReported_; }
  void ClearLastReportedReader() { lastReported_.clear(); }
  // The encrypted block last handed to the library's WriteData (the console stores it).
  const std::vector<BYTE>& LastWrittenData() const { return lastWritten_; }
  KeyVariant variant() const { return variant_; }
  const std::string& computerName() const { return computerName_; }
  // The alternate name that loaded ("x_x64.dll"), empty when the configured name loaded.
  const std::string& loadedAlternateName() const { return altName_; }

  // Process-wide flag of CheckBioKey_start (tests).
  static void ResetUnlockStartSettled();

 private:
  enum class Binding { Unbound, NoLibrary, Failed, Loaded };

  bool WriteDataLibrary(int slot, const BYTE* data, DWORD* length, DWORD bufferSize);
  bool WriteDataFlash(int slot, const BYTE* data, DWORD* length, DWORD bufferSize);
  bool ReadDataLibrary(int slot, BYTE* data, DWORD* length);
  bool ReadDataFlash(int slot, BYTE* data, DWORD* length);
  bool ChangePinFlash(const char* newPin);
  std::string KeyFilePath() const;
  std::string GetUSB_Disk();
  const char* FlashPass() const;
  void SetPin(const char* pin);
  void BindEntryPoints(void* module);
  void SetSerialValueZero();

  KeyVariant variant_;
  int directoryMode_ = 0;
  std::vector<BYTE> lastWritten_;
  std::array<LogonProfile, kLogonProfileCount> profiles_{};
  Binding binding_ = Binding::Unbound;
  void* module_ = nullptr;
  std::string initText_;
  std::string lastReported_;
  std::string unlockPath_;
  std::string errorText_;
  std::string suffix_;
  platform::Process* unlockProcess_ = nullptr;
  std::vector<BYTE> work_;  // the crypto work buffer
  bool bluetooth_ = false;
  std::string libName_;
  std::string altName_;
  int usbLoginStop_ = 0;
  DWORD headerSerial_ = 0;
  int headerFlag_ = 0;
  DWORD currentSerial_ = 0;
  std::string serialText_;
  std::string pin_ = kDefaultPin;
  std::string reader_;
  std::string computerName_;
  // Flash-drive writes collected for one atomic replacement of the key data file (ChangePIN).
  std::vector<BYTE>* stage_ = nullptr;

  KeyLib_InitLibrary fInitLibrary_ = nullptr;
  KeyLib_IsAnyReaderConnected fIsAnyReaderConnected_ = nullptr;
  KeyLib_VerifyPIN fVerifyPIN_ = nullptr;
  KeyLib_ChangePIN fChangePIN_ = nullptr;
  KeyLib_ReadData fReadData_ = nullptr;
  KeyLib_WriteData fWriteData_ = nullptr;
  KeyLib_DeleteData fDeleteData_ = nullptr;
  KeyLib_CloseLibrary fCloseLibrary_ = nullptr;
  KeyLib_GetReaderSerialNumber fGetReaderSerialNumber_ = nullptr;
  KeyLib_IsReaderInserted fIsReaderInserted_ = nullptr;
  KeyLib_DisplaySettingsDialog fDisplaySettingsDialog_ = nullptr;
  KeyLib_InitializeKey fInitializeKey_ = nullptr;
  KeyLib_UnblockKey fUnblockKey_ = nullptr;
};

}  // namespace zemir
