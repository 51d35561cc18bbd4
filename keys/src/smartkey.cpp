// CSmartKey_cpl: construction, library binding, key data, PINs and reader discovery.
#include "zemir/keys/smartkey.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/keys/aes.h"
#include "zemir/platform/desktop.h"
#include "zemir/platform/drives.h"
#include "zemir/platform/files.h"
#include "zemir/platform/module.h"
#include "zemir/platform/prefix.h"
#include "zemir/platform/random.h"

namespace zemir {

namespace {

constexpr DWORD kServiceWork = 10004;
constexpr DWORD kConsoleWork = 10000;
constexpr DWORD kConsoleMaxWrite = 8000;
constexpr size_t kPinKept = 120;
constexpr size_t kLibCopy = 61;  // library-mode PIN and reader copies, with the terminator

std::atomic<bool> gUnlockStartSettled{false};

// Stubs answer for entry points a library lacks.
const char* StubIsAnyReaderConnected(std::uint32_t) { return "\0"; }
std::int32_t StubVerifyPIN(const char*, const char*) { return 0; }
std::int32_t StubChangePIN(const char*, const char*, const char*) { return 0; }
std::int32_t StubReadData(const char*, std::int32_t, unsigned char*, std::uint32_t*) { return 0; }
std::int32_t StubWriteData(const char*, std::int32_t, unsigned char*, std::uint32_t*) { return 0; }
std::int32_t StubDeleteData(const char*, std::int32_t) { return 0; }
void StubCloseLibrary() {}
std::uint32_t StubGetReaderSerialNumber(const char*) { return 0; }
std::int32_t StubIsReaderInserted(const char*) { return 0; }

std::string Hex(DWORD v) {
  char b[16];
  std::snprintf(b, sizeof b, "%X", v);
  return b;
}

DWORD Le32(const BYTE* p) {
  return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
         static_cast<DWORD>(p[3]) << 24;
}
void PutLe32(BYTE* p, DWORD v) {
  p[0] = static_cast<BYTE>(v);
  p[1] = static_cast<BYTE>(v >> 8);
  p[2] = static_cast<BYTE>(v >> 16);
  p[3] = static_cast<BYTE>(v >> 24);
}

std::string Cut(const char* s, size_t max) {
  if (!s) return {};
  return std::string(s, strnlen(s, max));
}

std::string ReadProductText(const char* name, size_t max) {
  char buf[600] = {};
  ReadRegText(HKEY_LOCAL_MACHINE, kProductKey, name, buf, sizeof buf);
  return Cut(buf, max);
}

// Slot placement in the key data file: offset and fixed size (0: the caller's length).
void SlotPlace(int slot, DWORD* offset, DWORD* size) {
  switch (slot) {
    case 0: *offset = 0; *size = kSlot0Size; break;
    case 1: *offset = kSlot0Size; *size = kSlotSize; break;
    case 2: *offset = kSlot0Size + kSlotSize; *size = kSlotSize; break;
    default: *offset = 0; *size = 0; break;
  }
}

// A drive holds a key data file when it exists and is larger than 3,000 bytes, or exists
// but its size cannot be read.
bool HoldsKeyFile(const std::string& root) {
  std::string path = root + "_zemir\\zem.zem";
  if (platform::GetFileAttributesA(path) == platform::INVALID_FILE_ATTRIBUTES) return false;
  std::uint64_t size = 0;
  if (!platform::GetFileSize(path, &size)) return true;
  return size > 3000;
}

}  // namespace

// ---------------------------------------------------------------- construction and binding

CSmartKey_cpl::CSmartKey_cpl(KeyVariant variant) : variant_(variant) {
  work_.assign(variant == KeyVariant::Console ? kConsoleWork : kServiceWork, 0);
  if (variant == KeyVariant::Console) {
    computerName_ = platform::GetComputerNameA();
    Trace("CSmartKey_cpl");
  }
  libName_ = ReadProductText("USBKeyDllName", 100);
  usbLoginStop_ = ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "USB_login_stop", 0);
  directoryMode_ = ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "ZemirADmode", 0);
  if (usbLoginStop_) {
    Trace("USB key not working.");
  } else {
    std::string self = platform::ModulePath();
    if (self.find("enter.exe") != std::string::npos || self.find("gent.exe") != std::string::npos) suffix_ = "-Disk";
  }
}

CSmartKey_cpl::~CSmartKey_cpl() {
  if (binding_ != Binding::Unbound && binding_ != Binding::NoLibrary) {
    if (fCloseLibrary_) fCloseLibrary_();
    if (module_) FreeLibrary(static_cast<HMODULE>(module_));
  }
  delete unlockProcess_;
  std::fill(pin_.begin(), pin_.end(), '\0');
}

void CSmartKey_cpl::ResetUnlockStartSettled() { gUnlockStartSettled = false; }

void CSmartKey_cpl::BindEntryPoints(void* module) {
  HMODULE h = static_cast<HMODULE>(module);
  auto get = [&](auto& slot, const char* name) {
    if (void* p = GetProcAddress(h, name)) slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(p);
  };
  get(fInitLibrary_, "InitLibrary");
  get(fIsAnyReaderConnected_, "IsAnyReaderConnected");
  get(fVerifyPIN_, "VerifyPIN");
  get(fChangePIN_, "ChangePIN");
  get(fReadData_, "ReadData");
  get(fWriteData_, "WriteData");
  get(fDeleteData_, "DeleteData");
  get(fCloseLibrary_, "CloseLibrary");
  get(fGetReaderSerialNumber_, "GetReaderSerialNumber");
  get(fIsReaderInserted_, "IsReaderInserted");
  get(fDisplaySettingsDialog_, "DisplaySettingsDialog");
  get(fInitializeKey_, "InitializeKey");
  get(fUnblockKey_, "UnblockKey");
}

bool CSmartKey_cpl::IsKeyDllInstalled() {
  if (binding_ == Binding::NoLibrary) return false;
  if (binding_ != Binding::Unbound) return true;

  std::string valueName = std::string("USBKeyDllName") + suffix_;
  libName_ = ReadProductText(valueName.c_str(), 100);
  Trace("IsKeyDllInstalled: %X %s %s", 0u, suffix_.c_str(), libName_.c_str());
  if (libName_.size() <= 3) {
    binding_ = Binding::NoLibrary;
    return false;
  }
  Trace("IsKeyDllInstalled: %s %d", libName_.c_str(), 0);
  fIsAnyReaderConnected_ = StubIsAnyReaderConnected;
  fVerifyPIN_ = StubVerifyPIN;
  fChangePIN_ = StubChangePIN;
  fReadData_ = StubReadData;
  fWriteData_ = StubWriteData;
  fDeleteData_ = StubDeleteData;
  fCloseLibrary_ = StubCloseLibrary;
  fGetReaderSerialNumber_ = StubGetReaderSerialNumber;
  fIsReaderInserted_ = StubIsReaderInserted;
  bluetooth_ = strcasecmp(libName_.c_str(), "zemir_btkey.dll") == 0;

  auto replaceDll = [&](const char* with) {
    std::string n = libName_;
    for (size_t i = 0; i + 4 <= n.size(); ++i) {
      if (strncasecmp(n.c_str() + i, ".dll", 4) == 0) return n.replace(i, 4, with);
    }
    return n;
  };
  altName_.clear();
  HMODULE h = LoadLibraryA(libName_.c_str());
  std::string tried = libName_;
  DWORD firstError = 0;
  if (!h) {
    firstError = GetLastError();
    tried = replaceDll("_x64.dll");
    h = LoadLibraryA(tried.c_str());
    if (!h) {
      tried = replaceDll("_amd64.dll");
      h = LoadLibraryA(tried.c_str());
    }
    if (h) altName_ = tried;
  }
  if (!h) {
    Trace("IsKeyDllInstalled failed to load %s %X (%s)", libName_.c_str(), firstError, tried.c_str());
    errorText_ = "Unable to load key dll" + libName_;
    binding_ = Binding::Failed;
    return true;
  }
  module_ = h;
  BindEntryPoints(h);
  if (fInitLibrary_) {
    errorText_.clear();
    const char* answer = fInitLibrary_(initText_.c_str());
    if (answer && *answer) {
      Trace("Error fInitLibraryKey %s", answer);
      errorText_ = Cut(answer, 300);
    }
    Trace("fInitLibraryKey OK, %s %s", initText_.c_str(), altName_.c_str());
    binding_ = Binding::Loaded;
  } else {
    binding_ = Binding::Failed;
    Trace("IsKeyDllInstalled failed to load %s fInitLibrary", libName_.c_str());
  }
  return true;
}

// ---------------------------------------------------------------- key data

const char* CSmartKey_cpl::FlashPass() const { return pin_.empty() ? kDefaultPin : pin_.c_str(); }

void CSmartKey_cpl::SetPin(const char* pin) {
  std::fill(pin_.begin(), pin_.end(), '\0');
  pin_ = (pin && *pin) ? Cut(pin, kPinKept) : std::string(kDefaultPin);
}

std::string CSmartKey_cpl::KeyFilePath() const { return reader_ + "_zemir\\zem.zem"; }

bool CSmartKey_cpl::WriteData(int slot, const BYTE* data, DWORD* length, DWORD bufferSize) {
  if (!data || !length) return false;
  if (bufferSize == 0) bufferSize = *length;
  if (*length > bufferSize) {
    Trace("WriteData err len %d", static_cast<int>(*length));
    return false;
  }
  if (IsKeyDllInstalled()) return WriteDataLibrary(slot, data, length, bufferSize);
  return WriteDataFlash(slot, data, length, bufferSize);
}

bool CSmartKey_cpl::WriteDataLibrary(int slot, const BYTE* data, DWORD* length, DWORD bufferSize) {
  DWORD len = *length;
  DWORD maxLen = variant_ == KeyVariant::Console ? kConsoleMaxWrite : static_cast<DWORD>(work_.size()) - 36;
  if (len > maxLen) {
    Trace("WriteData err len %d", static_cast<int>(len));
    return false;
  }
  std::vector<BYTE> plain(kLibraryHeaderSize + len);
  PutLe32(plain.data(), kLibraryHeaderSize);
  PutLe32(plain.data() + 4, currentSerial_);
  PutLe32(plain.data() + 8, variant_ == KeyVariant::Service && headerFlag_ ? 1 : 0);
  if (len) std::memcpy(plain.data() + kLibraryHeaderSize, data, len);
  const char* pass = kTransportPass;
  if (variant_ == KeyVariant::Console && directoryMode_ == 1 &&
      (libName_.find("zemir_mada") != std::string::npos || libName_.find("zemir_ed-fs") != std::string::npos))
    pass = FlashPass();
  DWORD cipherLen = len + 36;
  if (!encrypt_aes(pass, plain.data(), static_cast<DWORD>(plain.size()), work_.data(), &cipherLen)) {
    Trace("WriteData encrypt_aes %X", GetLastError());
    return false;
  }
  std::fill(plain.begin(), plain.end(), 0);
  if (variant_ == KeyVariant::Console) lastWritten_.assign(work_.begin(), work_.begin() + cipherLen);
  std::uint32_t taken = cipherLen;
  if (!fWriteData_(reader_.c_str(), slot, work_.data(), &taken)) {
    Trace("error fWriteData, %X", GetLastError());
    return false;
  }
  if (variant_ == KeyVariant::Service) lastWritten_.assign(work_.begin(), work_.begin() + cipherLen);
  *length = taken;
  return true;
}

bool CSmartKey_cpl::WriteDataFlash(int slot, const BYTE* data, DWORD* length, DWORD bufferSize) {
  if (reader_.empty()) return false;
  if (pin_.empty()) pin_ = kDefaultPin;
  DWORD offset = 0, size = 0;
  SlotPlace(slot, &offset, &size);
  DWORD plainLen = size ? size - 16 : *length;
  if (plainLen == 0 || plainLen + 16 > work_.size()) {
    Trace("WriteData err len %d", static_cast<int>(plainLen));
    return false;
  }
  std::vector<BYTE> plain(plainLen, 0);
  std::memcpy(plain.data(), data, std::min(plainLen, bufferSize));
  DWORD cipherLen = static_cast<DWORD>(work_.size());
  bool ok = encrypt_aes(FlashPass(), plain.data(), plainLen, work_.data(), &cipherLen);
  std::fill(plain.begin(), plain.end(), 0);
  if (!ok) {
    Trace("WriteData encrypt_aes %X", GetLastError());
    return false;
  }
  std::vector<BYTE> record(4 + cipherLen);
  PutLe32(record.data(), cipherLen);
  std::memcpy(record.data() + 4, work_.data(), cipherLen);

  if (stage_) {  // collected for one replacement of the whole file
    if (stage_->size() < offset + record.size()) stage_->resize(offset + record.size(), 0);
    std::copy(record.begin(), record.end(), stage_->begin() + offset);
    *length = cipherLen;
    return true;
  }
  std::string folder = reader_ + "_zemir";
  std::string path = KeyFilePath();
  if (!platform::CreateDirectoryA(folder) && GetLastError() != static_cast<DWORD>(ERROR_ALREADY_EXISTS)) {
    Trace("WriteData, Error write zx file %s, (%s)", path.c_str(), reader_.c_str());
    return false;
  }
  platform::SetFileAttributesA(folder, platform::FILE_ATTRIBUTE_HIDDEN | platform::FILE_ATTRIBUTE_SYSTEM);
  if (!platform::WriteFileAtomicAt(path, offset, record.data(), static_cast<DWORD>(record.size()))) {
    Trace("WriteData, Error write zx file %s, (%s)", path.c_str(), reader_.c_str());
    return false;
  }
  *length = cipherLen;
  return true;
}

bool CSmartKey_cpl::ReadData(int slot, BYTE* data, DWORD* length) {
  if (!length) return false;
  if (!data) {
    *length = 0;
    return false;
  }
  if (IsKeyDllInstalled()) return ReadDataLibrary(slot, data, length);
  return ReadDataFlash(slot, data, length);
}

bool CSmartKey_cpl::ReadDataLibrary(int slot, BYTE* data, DWORD* length) {
  DWORD capacity = *length;
  if (capacity + 16 > work_.size()) {
    Trace("ReadData err len %d", static_cast<int>(capacity));
    *length = 0;
    return false;
  }
  std::uint32_t got = capacity;
  if (!fReadData_(reader_.c_str(), slot, data, &got)) {
    DWORD e = GetLastError();
    *length = 0;
    Trace("error fReadData %X", e);
    return false;
  }
  if (got > capacity) {  // a library that claims more than the buffer holds
    Trace("ReadData err len %d", static_cast<int>(got));
    *length = 0;
    return false;
  }
  *length = got;
  if (got == 0 || libName_.find("zemir_rpc") != std::string::npos) return true;

  DWORD plainLen = got + 16;
  if (!decrypt_aes(kTransportPass, data, got, work_.data(), &plainLen)) {
    Trace("ReadData. decrypt_aes fail = %d %d", static_cast<int>(got), static_cast<int>(plainLen));
    plainLen = got + 16;
    if (!decrypt_aes(kTransportPass, data, got, work_.data(), &plainLen)) {
      Trace("ReadData. decrypt_aes2 fail = %d %s", static_cast<int>(got), reader_.c_str());
      return false;
    }
  }
  if (plainLen < kLibraryHeaderSize || Le32(work_.data()) < kLibraryHeaderSize || Le32(work_.data()) > plainLen) {
    Trace("ReadData bad header %d %d", static_cast<int>(plainLen), plainLen >= 4 ? static_cast<int>(Le32(work_.data())) : -1);
    std::fill(work_.begin(), work_.end(), 0);
    *length = 0;
    return false;
  }
  DWORD headerLen = Le32(work_.data());
  headerSerial_ = Le32(work_.data() + 4);
  headerFlag_ = static_cast<int>(Le32(work_.data() + 8));
  if (currentSerial_ == 0) currentSerial_ = GetReaderSerialNumber(nullptr);
  if (headerSerial_ != currentSerial_) Trace("Wrong HKserial2 %X, %X", headerSerial_, currentSerial_);
  DWORD out = plainLen - headerLen;
  std::memmove(data, work_.data() + headerLen, out);
  std::fill(work_.begin(), work_.end(), 0);
  *length = out;
  return true;
}

bool CSmartKey_cpl::ReadDataFlash(int slot, BYTE* data, DWORD* length) {
  DWORD capacity = *length;
  if (reader_.empty()) {
    *length = 0;
    return false;
  }
  if (pin_.empty()) pin_ = kDefaultPin;
  std::string path = KeyFilePath();
  DWORD offset = 0, size = 0;
  SlotPlace(slot, &offset, &size);
  BYTE lenBytes[4];
  DWORD got = 0;
  if (!platform::ReadFileAt(path, offset, lenBytes, 4, &got)) {
    Trace("ReadData, Error read zx file %s, (%s) %X", path.c_str(), reader_.c_str(), GetLastError());
    *length = 0;
    return true;
  }
  if (got == 0) {
    *length = 0;
    return true;
  }
  if (got < 4) {
    Trace("ReadData, truncated zx file %s %d", path.c_str(), static_cast<int>(got));
    *length = 0;
    return false;
  }
  DWORD record = Le32(lenBytes);
  if (record > capacity) {
    Trace("Len too big");
    record = capacity;
  }
  if (record > work_.size()) {
    Trace("ReadData err len %d", static_cast<int>(record));
    *length = 0;
    return false;
  }
  if (record == 0) {
    *length = 0;
    return true;
  }
  std::vector<BYTE> cipher(record);
  if (!platform::ReadFileAt(path, offset + 4, cipher.data(), record, &got)) {
    *length = 0;
    return false;
  }
  if (got == 0) {  // the record is announced but missing: nothing stored
    *length = 0;
    return true;
  }
  if (got < record) {
    Trace("ReadData, truncated zx file %s %d %d", path.c_str(), static_cast<int>(got), static_cast<int>(record));
    *length = 0;
    return false;
  }
  DWORD plainLen = static_cast<DWORD>(work_.size());
  if (!decrypt_aes(FlashPass(), cipher.data(), record, work_.data(), &plainLen)) {
    Trace("ReadData. decrypt_aes fail = %d %d", static_cast<int>(record), static_cast<int>(plainLen));
    plainLen = static_cast<DWORD>(work_.size());
    if (!decrypt_aes(kTransportPass, cipher.data(), record, work_.data(), &plainLen)) {
      Trace("ReadData. decrypt_aes2 fail = %d %s", static_cast<int>(record), reader_.c_str());
      return false;
    }
  }
  std::memcpy(data, work_.data(), plainLen);
  std::fill(work_.begin(), work_.end(), 0);
  *length = plainLen;
  return true;
}

void CSmartKey_cpl::SetSerialValueZero() {
  WriteRegDword(HKEY_LOCAL_MACHINE, kProductKey, Hex(currentSerial_).c_str(), 0);
}

bool CSmartKey_cpl::DeleteData() {
  Trace("ClearUSBstick");
  if (!IsKeyDllInstalled()) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, KEY_ALL_ACCESS | KEY_WOW64_32KEY, &k) == ERROR_SUCCESS) {
      RegDeleteValueA(k, "KeyValue1");
      RegCloseKey(k);
    }
    SetSerialValueZero();
    if (!reader_.empty()) platform::DeleteFileA(KeyFilePath());
    ClearLogonProfiles();
    return true;
  }
  bool first = fDeleteData_(reader_.c_str(), 1) != 0;
  if (!first) Trace("error fDeleteData1 %X", GetLastError());
  if (!fDeleteData_(reader_.c_str(), 2)) Trace("error fDeleteData2 %X", GetLastError());
  if (first) ClearLogonProfiles();
  SetSerialValueZero();
  return true;
}

void CSmartKey_cpl::ClearLogonProfiles() { std::memset(profiles_.data(), 0, sizeof(LogonProfile) * 3); }

int CSmartKey_cpl::AddLogonProfile(const char* domain, const char* user, const char* password) {
  int i = 0;
  while (i < kLogonProfileCount && profiles_[i].user[0]) ++i;
  if (i >= kLogonProfileCount) return -1;
  LogonProfile& p = profiles_[i];
  std::memset(&p, 0, sizeof p);
  auto copy = [](char* dst, size_t cap, const char* src) {
    if (src) std::memcpy(dst, src, strnlen(src, cap - 1));
  };
  copy(p.user, sizeof p.user, user);
  copy(p.password, sizeof p.password, password);
  copy(p.domain, sizeof p.domain, domain);
  std::strcpy(p.options, " ");
  // The entry was the end of the table: keep the table ended after it.
  if (i + 1 < kLogonProfileCount) profiles_[i + 1].user[0] = 0;
  return i;
}

int CSmartKey_cpl::WriteLogonProfiles() {
  std::vector<BYTE> buf(kSlotSize);
  if (!platform::GenRandom(buf.data(), buf.size())) {
    Trace("CSmartKey_cpl::WriteLogonProfiles failed (len %d)", 0);
    return 0;
  }
  int len = EncodeLogonProfiles(profiles_.data(), buf.data(), kSlotSize - 16);
  if (len < 0) {
    Trace("CSmartKey_cpl::WriteLogonProfiles failed (len %d)", len);
    return 0;
  }
  DWORD length = static_cast<DWORD>(len);
  bool ok = WriteData(1, buf.data(), &length, kSlotSize);
  std::fill(buf.begin(), buf.end(), 0);
  if (!ok) {
    Trace("CSmartKey_cpl::WriteLogonProfiles failed (len %d)", len);
    return 0;
  }
  return static_cast<int>(length);
}

// ---------------------------------------------------------------- serial numbers

DWORD CSmartKey_cpl::GetReaderSerialNumber(std::string* text) {
  if (IsKeyDllInstalled()) {
    char device[90] = {};
    if (bluetooth_ || libName_.find("zemir_btkey") != std::string::npos) {
      std::uint32_t cap = 70;
      if (!fReadData_(reader_.c_str(), 50, reinterpret_cast<unsigned char*>(device), &cap))
        Trace("fail get BT MAC for %s %s", reader_.c_str(), device);
      device[sizeof device - 1] = 0;
      if (cap < 70) device[cap] = 0;
    }
    DWORD serial = fGetReaderSerialNumber_(reader_.c_str());
    if (!device[0]) std::snprintf(device, sizeof device, "%X", serial);
    if (text) *text = Cut(device, sizeof device);
    return serial;
  }
  std::string collected;
  DWORD serial = DSN4(reader_.c_str(), text ? &collected : nullptr);
  if (text) *text = Hex(serial);
  return serial;
}

// ---------------------------------------------------------------- PIN

bool CSmartKey_cpl::VerifyPassword(const char* pin) {
  if (!pin) pin = "";
  if (IsKeyDllInstalled()) {
    std::string p = Cut(pin, kLibCopy - 1), r = Cut(reader_.c_str(), kLibCopy - 1);
    if (fVerifyPIN_(r.c_str(), p.c_str())) {
      headerSerial_ = 0;
      headerFlag_ = 0;
      SetPin(pin);
      return true;
    }
    Trace("error fVerifyPIN, wrong PIN %X %d", GetLastError(), static_cast<int>(std::strlen(pin)));
    std::fill(pin_.begin(), pin_.end(), '\0');
    pin_.clear();
    return false;
  }
  if (reader_.empty()) {
    Trace("VerifyPassword: no key drive chosen");
    return false;
  }
  SetPin(pin);
  std::vector<BYTE> buf(kSlot0Size, 0);
  DWORD len = kSlot0Size;
  bool ok = ReadData(0, buf.data(), &len);
  if (ok && len > 0) {
    std::string text = Cut(reinterpret_cast<const char*>(buf.data()), len);
    if (text.find("ZEMIR_") == std::string::npos) return false;
    headerSerial_ = Le32(buf.data() + 88);
    headerFlag_ = 0;
    auto version = static_cast<std::int32_t>(Le32(buf.data() + 52));
    DWORD serial = 0;
    const char* line = nullptr;
    if (version <= 3) {
      serial = GetUSBStickSerial(reader_.c_str());
      line = "v3 key";
    } else if (version == 4) {
      serial = DSN2(reader_.c_str(), nullptr);
      line = "v4 key";
    } else if (version == 5) {
      serial = DSN2Sum(reader_.c_str(), nullptr);
      line = "v5 key";
    } else if (version == 6) {
      serial = DSN3(reader_.c_str(), nullptr);
      line = "v6 key";
    } else if (version == 7) {
      serial = DSN3Amp(reader_.c_str(), nullptr);
      line = "v7 key";
    }
    if (line) {
      currentSerial_ = serial;
      headerSerial_ = serial;
      serialText_.clear();
      Trace("%s", line);
      if (version <= 3 && ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "UseOldSerial", 0) == 1)
        serialText_ = Hex(currentSerial_);
    }
    return true;
  }
  if (len == 0) {  // no key data yet: a new key, set up with the default PIN
    if (currentSerial_ == 0) currentSerial_ = GetReaderSerialNumber(&serialText_);
    headerFlag_ = 0;
    headerSerial_ = currentSerial_;
    SetPin(kDefaultPin);
    return WriteKeyHeader();
  }
  return false;
}

bool CSmartKey_cpl::WriteKeyHeader() {
  if (IsKeyDllInstalled()) return true;
  if (serialText_.empty()) currentSerial_ = GetReaderSerialNumber(&serialText_);
  DWORD version = 8;
  if (ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "UseOldSerial", 0) == 1) {
    Trace("Using old serial NUM");
    currentSerial_ = GetUSBStickSerial(reader_.c_str());
    serialText_ = Hex(currentSerial_);
    headerSerial_ = currentSerial_;
    version = 3;
  }
  BYTE header[kKeyHeaderSize] = {};
  std::string id = "ZEMIR_" + serialText_.substr(0, 30);
  std::memcpy(header, id.c_str(), id.size());
  PutLe32(header + 52, version);
  PutLe32(header + 88, currentSerial_);
  PutLe32(header + 92, static_cast<DWORD>(headerFlag_));
  DWORD len = kKeyHeaderSize;
  if (!WriteData(0, header, &len, kKeyHeaderSize)) {
    Trace("WriteKeyHeader failed %s", reader_.c_str());
    return false;
  }
  return true;
}

bool CSmartKey_cpl::ChangePIN(const char* oldPin, const char* newPin) {
  if (!oldPin) oldPin = "";
  if (!newPin) newPin = "";
  if (!IsKeyDllInstalled()) return ChangePinFlash(newPin);
  std::string o = Cut(oldPin, kLibCopy - 1), n = Cut(newPin, kLibCopy - 1), r = Cut(reader_.c_str(), kLibCopy - 1);
  if (!fVerifyPIN_(r.c_str(), o.c_str()))
    Trace("error ChangePIN, wrong PIN %X %d", GetLastError(), static_cast<int>(std::strlen(oldPin)));
  if (!fChangePIN_(r.c_str(), o.c_str(), n.c_str())) {
    Trace("error fChangePIN, %X, %d %d", GetLastError(), static_cast<int>(std::strlen(oldPin)),
          static_cast<int>(std::strlen(newPin)));
    return false;
  }
  if (strcasecmp(n.c_str(), kDefaultPin) == 0) {
    WriteRegDword(HKEY_LOCAL_MACHINE, kProductKey, "USBKeyDefaultPIN", 1);
    WriteRegDword(HKEY_LOCAL_MACHINE, kProductKey, "LastUSBKeySerial", currentSerial_);
  } else if (strcasecmp(n.c_str(), kDefaultPin09) == 0) {
    WriteRegDword(HKEY_LOCAL_MACHINE, kProductKey, "USBKeyDefaultPIN09", 1);
    WriteRegDword(HKEY_LOCAL_MACHINE, kProductKey, "LastUSBKeySerial", currentSerial_);
  } else {
    WriteRegDword(HKEY_LOCAL_MACHINE, kProductKey, "USBKeyDefaultPIN", 0);
  }
  return true;
}

bool CSmartKey_cpl::ChangePinFlash(const char* newPin) {
  if (serialText_.empty()) {
    platform::MessageBoxA(
        "This key was created in older version of Zemir, please disable it and setup again before change PIN.",
        "Zemir Logon Key", platform::MB_OK | platform::MB_ICONWARNING);
    return false;
  }
  std::vector<BYTE> slot1(kSlotSize, 0), slot2(kSlotSize, 0);
  DWORD len1 = kSlotSize, len2 = kSlotSize;
  bool ok1 = ReadData(1, slot1.data(), &len1);
  bool ok2 = ReadData(2, slot2.data(), &len2);
  if (!ok2) return false;
  if (!ok1) {  // re-encrypting an unreadable slot would destroy its data
    Trace("ChangePIN: slot 1 unreadable, nothing changed");
    return false;
  }
  // Stage the three writes and replace the file once, so an interruption keeps the old PIN's file.
  std::vector<BYTE> staged(kSlot0Size + 2 * kSlotSize, 0);
  DWORD got = 0;
  platform::ReadFileAt(KeyFilePath(), 0, staged.data(), static_cast<DWORD>(staged.size()), &got);
  std::string oldPin = pin_;
  SetPin(newPin);
  stage_ = &staged;
  bool ok = WriteData(1, slot1.data(), &len1, kSlotSize) && WriteData(2, slot2.data(), &len2, kSlotSize) &&
            WriteKeyHeader();
  stage_ = nullptr;
  std::fill(slot1.begin(), slot1.end(), 0);
  std::fill(slot2.begin(), slot2.end(), 0);
  if (ok) {
    std::string folder = reader_ + "_zemir";
    platform::CreateDirectoryA(folder);
    ok = platform::WriteFileAtomicAt(KeyFilePath(), 0, staged.data(), static_cast<DWORD>(staged.size()));
    if (!ok) Trace("WriteData, Error write zx file %s, (%s)", KeyFilePath().c_str(), reader_.c_str());
  }
  if (!ok) SetPin(oldPin.c_str());  // the file still opens with the old PIN
  std::fill(oldPin.begin(), oldPin.end(), '\0');
  return ok;
}

// ---------------------------------------------------------------- discovery

std::string CSmartKey_cpl::IsAnyReaderConnected() {
  if (IsKeyDllInstalled()) {
    std::string result;
    const char* list = fIsAnyReaderConnected_(1);
    if (list) {
      // Copy at most 100 characters, up to the empty name that ends the list.
      size_t i = 0;
      while (i < 100 && !(list[i] == 0 && (i == 0 || list[i - 1] == 0))) ++i;
      result.assign(list, i);
      while (!result.empty() && result.back() == 0) result.pop_back();
    }
    lastReported_ = result.c_str();
    return result;
  }
  return GetUSB_Disk();
}

std::string CSmartKey_cpl::GetUSB_Disk() {
  CheckBioKey_start();
  std::string result;
  const char* winlogon = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\WinLogon";
  char user[300] = {};
  ReadRegText(HKEY_LOCAL_MACHINE, winlogon, "DefaultUserName", user, sizeof user);
  if (!user[0]) ReadRegText(HKEY_LOCAL_MACHINE, winlogon, "AltDefaultUserName", user, sizeof user);
  std::string registered = user[0] ? ReadProductSubkeyValue(user, "RegisteredKey") : std::string();

  for (const std::string& root : platform::GetLogicalDriveStrings()) {
    char l = static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
    if (l == 'A' || l == 'B' || l == 'C') {
      if (!user[0] || strcasecmp(root.c_str(), registered.c_str()) != 0) continue;
    }
    if (platform::GetDriveTypeA(root.c_str()) != platform::DRIVE_REMOVABLE) continue;
    if (strcasecmp(root.c_str(), lastReported_.c_str()) == 0) continue;
    if (HoldsKeyFile(root)) {
      result = root;
      result[0] = l;
      break;
    }
    std::uint64_t total = 0;
    if (platform::GetDiskFreeSpaceExA(root.c_str(), nullptr, &total)) {
      result = root;
      if (!platform::ProbeWrite(root)) {
        Trace("GetUSB_Disk, write-protected:  %s", root.c_str());
        result = "USB key is write protected";
      }
    }
  }
  if (result.empty()) {
    char cu[300] = {};
    ReadRegText(HKEY_CURRENT_USER, winlogon, "DefaultUserName", cu, sizeof cu);
    if (cu[0]) {
      std::string path = ReadProductSubkeyValue(cu, "RegisteredKey");
      if (path.empty()) path = ReadProductSubkeyValue(cu, "RegisteredKeyDisk");
      if (!path.empty() && HoldsKeyFile(path)) result = path;
    }
  }
  if (!result.empty()) lastReported_ = result;
  return result;
}

void CSmartKey_cpl::ChooseReader(const char* name) {
  if (!name) name = "";
  size_t len = std::strlen(name);
  if (IsKeyDllInstalled()) {
    if (len > 52) {
      Trace("Error ChooseReader %s", name);
      return;
    }
    reader_ = name;
  } else {
    if (len >= 20) {
      Trace("Error ChooseReader %s", name);
      return;
    }
    reader_ = name;
    serialText_.clear();
  }
  if (reader_.empty()) {
    ClearLogonProfiles();
    return;
  }
  currentSerial_ = GetReaderSerialNumber(&serialText_);
}

bool CSmartKey_cpl::IsReaderInserted(const char* name, bool withKeyFile) {
  if (!name) name = "";
  if (IsKeyDllInstalled()) {
    std::string copy = name;
    bool in = fIsReaderInserted_(copy.c_str()) != 0;
    if (!in && lastReported_ == name) lastReported_.clear();
    return in;
  }
  if (!*name) return false;
  std::string path = std::string(name) + (withKeyFile ? "_zemir\\zem.zem" : "");
  if (platform::GetFileAttributesA(path) != platform::INVALID_FILE_ATTRIBUTES) return true;
  if (strcasecmp(lastReported_.c_str(), name) == 0) lastReported_.clear();
  gUnlockStartSettled = false;
  return false;
}

void CSmartKey_cpl::CheckBioKey_start() {
  if (gUnlockStartSettled) {
    if (!unlockPath_.empty() && platform::GetFileAttributesA(unlockPath_) == platform::INVALID_FILE_ATTRIBUTES)
      gUnlockStartSettled = false;
    return;
  }
  if (strcasecmp(platform::GetInputDesktopName().c_str(), "WinLogon") != 0) {
    gUnlockStartSettled = true;
    return;
  }
  unlockPath_ = ReadProductText("USBKey_biostart", 100);
  if (unlockPath_.empty()) {
    gUnlockStartSettled = true;
    return;
  }
  DWORD wanted = static_cast<DWORD>(ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "USBKey_biostart_serial", 0));
  DWORD seen = 0;
  char drive = 0;
  for (const std::string& root : platform::GetLogicalDriveStrings()) {
    if (platform::GetDriveTypeA(root.c_str()) != platform::DRIVE_CDROM) continue;
    DWORD serial = 0;
    if (!platform::GetVolumeInformationA(root.c_str(), &serial)) continue;
    seen = serial;
    if (serial == wanted) {
      drive = root[0];
      break;
    }
  }
  if (!drive) {
    Trace("bio start serial worng %d %d", static_cast<int>(wanted & 0xFFFF), static_cast<int>(seen & 0xFFFF));
    gUnlockStartSettled = true;
    return;
  }
  std::string path = unlockPath_;
  path[0] = drive;
  if (platform::GetFileAttributesA(path) == platform::INVALID_FILE_ATTRIBUTES) return;
  gUnlockStartSettled = true;
  unlockPath_ = path;
  Trace("CSmartKey_cpl::CheckBioKey_start, starting2 %s", path.c_str());
  auto* process = new platform::Process;
  if (!platform::CreateProcessA(path, path.substr(0, 3), *process)) {
    Trace("CSmartKey_cpl::CheckBioKey_start, failed start %X %s", GetLastError(), path.c_str());
    delete process;
    return;
  }
  delete unlockProcess_;
  unlockProcess_ = process;
  platform::WaitForInputIdle(*unlockProcess_, 3000);
  platform::Sleep(9000);
}

}  // namespace zemir
