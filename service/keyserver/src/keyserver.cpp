// The key interface's operations: each logs its line, then works on the shared key-access
// object under one lock. Slot 1001 of ReadData is the one-time-password check.
#include "zemir/service/keyserver.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "zemir/common/regstore.h"
#include "zemir/common/trace.h"
#include "zemir/directory/adapter.h"
#include "zemir/directory/records.h"
#include "zemir/keys/aes.h"
#include "zemir/platform/codepage.h"
#include "zemir/platform/desktop.h"
#include "zemir/service/login_policy.h"

namespace zemir {

namespace {

constexpr DWORD kWorkArea = 10000;

std::uint32_t Now32() { return static_cast<std::uint32_t>(std::time(nullptr)); }

// Copies text with its NUL into the start of the data block.
void PutText(KeyDataBlock& data, const std::string& text) {
  size_t n = text.size() < data.size() - 1 ? text.size() : data.size() - 1;
  std::memcpy(data.data(), text.data(), n);
  data[n] = 0;
}

std::string Narrow(const std::u16string& s) { return WideToAnsi(s); }

}  // namespace

CKeyServer::CKeyServer() : key_(KeyVariant::Service) {
  // A service has no desktop to show a message box on: the key layer's messages (the
  // old-key warning of ChangePIN) go to the diagnostic log, answered as if confirmed.
  platform::SetMessageBoxHook([](const std::string& text, const std::string& caption, UINT) {
    Trace("MessageBox (%s): %s", caption.c_str(), text.c_str());
    return 1;  // IDOK
  });
}

CKeyServer::~CKeyServer() { Stop(); }

void CKeyServer::CloseLibrary() {
  std::lock_guard lk(mu_);
  Trace("-------CloseLibrary()");
}

std::optional<char> CKeyServer::InitLibrary() {
  std::lock_guard lk(mu_);
  Trace("-------InitLibrary(...)");
  key_.ClearLastReportedReader();
  return '\0';  // an empty text: no error
}

void CKeyServer::IsAnyReaderConnected2(std::array<char, kReaderTextSize>& text) {
  std::lock_guard lk(mu_);
  std::string found = key_.IsAnyReaderConnected();
  text.fill(0);
  std::memcpy(text.data(), found.c_str(), found.size() < 3 ? found.size() : 3);
  Trace("-------IsAnyReaderConnected2() ret: %s", text.data());
}

std::int8_t CKeyServer::VerifyPIN(const std::string& reader, const std::string& pin) {
  std::lock_guard lk(mu_);
  Trace("-----VerifyPIN(...)reader_name=(%s), pin=(%d)", reader.c_str(), static_cast<int>(pin.size()));
  key_.ChooseReader(reader.c_str());
  bool ok = key_.VerifyPassword(pin.c_str());
  if (ok) Trace("-----VerifyPIN(...) ok");
  return ok ? 1 : 0;
}

std::int8_t CKeyServer::ChangePIN(const std::string& reader, const std::string& pin, const std::string& newPin) {
  std::lock_guard lk(mu_);
  Trace("----ChangePIN(...); reader_name=(%s), pin=(%d), newpin=(%d); ", reader.c_str(), static_cast<int>(pin.size()),
        static_cast<int>(newPin.size()));
  return key_.ChangePIN(pin.c_str(), newPin.c_str()) ? 1 : 0;
}

std::int8_t CKeyServer::ReadData(const std::string& reader, std::int32_t slot, KeyDataBlock& data,
                                 std::int32_t& length) {
  std::lock_guard lk(mu_);
  Trace("---------ReadData(...)reader_name=(%s), appid=(%d), len=(%d)", reader.c_str(), slot, length);
  if (slot == kOtpSlot) return CheckOneTimePassword(reader, data, length);
  key_.ChooseReader(reader.c_str());
  DWORD len = static_cast<DWORD>(length);  // the stubs keep it within 0..9,900
  bool ok = key_.ReadData(slot, data.data(), &len);
  length = static_cast<std::int32_t>(len);
  Trace("ReadData returned:%d len=%d", ok ? 1 : 0, length);
  return ok ? 1 : 0;
}

std::int8_t CKeyServer::CheckOneTimePassword(const std::string& user, KeyDataBlock& data, std::int32_t& length) {
  if (ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "EnableSubAuth", 0) == 0) {
    Trace("EnableSubAuth is turned off. Exit");
    return 0;
  }
  // A user verified moments ago is answered from memory. A clock that went back does not count.
  std::int32_t since = static_cast<std::int32_t>(Now32() - lastTime_);
  if (!lastUser_.empty() && user == lastUser_ && since >= 0 && since < 10) {
    Trace("Last User OK %d", since);
    PutText(data, "Cache");
    length = 30;
    return 1;
  }
  if (isUserAllowedToLoginByPassw(user.c_str(), nullptr) != 0) return 1;

  Trace("_zemirAP_getAttrsMap(username=%s)... ", user.c_str());
  AttrMap attrs{{u"zmKeyID", u""}, {u"zmUserName", u""}, {u"zmUserKeySerial", u""}, {u"zmKeyType", u""},
                {u"zmUserPolicy", u""}};
  if (!svc::_zemirAP_getAttrsMap(u"CN=GlobalKeys", nullptr, user.c_str(), nullptr, attrs)) return 1;
  std::string serial = Narrow(attrs[u"zmUserKeySerial"]);
  Trace("_zemirAP_getAttrsMap() OK . Key: %s, %s (%s)", Narrow(attrs[u"zmKeyID"]).c_str(), serial.c_str(),
        Narrow(attrs[u"zmKeyType"]).c_str());
  PutText(data, serial);
  length = 30;

  Trace("_zemirAP_findSelfEnrolls(username=%s)... ", user.c_str());
  attrs[u"zmKeyID"] = u"";
  attrs[u"zmUserName"] = u"";
  attrs[u"zmUserAuthData"] = u"";
  if (!svc::_zemirAP_findSelfEnrolls(u"CN=SelfEnrolls", attrs, user.c_str(), "OTP-Auth")) return 0;
  std::string otp = Narrow(attrs[u"zmUserAuthData"]);
  Trace("_zemirAP_findSelfEnrolls() OK. OTP:%s", otp.c_str());
  key_.ChooseReader(user.c_str());
  bool ok = key_.VerifyPassword(otp.c_str());
  Trace("VerifyPIN (OTP %s) %d ", otp.c_str(), ok ? 1 : 0);

  // The pending request is used up whatever the result.
  std::u16string path = u"LDAP://CN=" + attrs[u"zmKeyID"] + u",CN=SelfEnrolls,DC=Zemir,DC=com";
  if (ap::DeleteObject(path) != 0) Trace("Err LDAP_DeleteObject %s", Narrow(path).c_str());
  if (ok) {
    lastUser_ = user;
    lastTime_ = Now32();
  }
  return ok ? 1 : 0;
}

std::int8_t CKeyServer::WriteData(const std::string& reader, std::int32_t slot, KeyDataBlock& data,
                                  std::int32_t& length) {
  std::lock_guard lk(mu_);
  Trace("---------WriteData(...)reader_name=(%s), appid=(%d), len=(%d)", reader.c_str(), slot, length);
  std::vector<BYTE> plain(kWorkArea);
  DWORD plainLen = kWorkArea;
  if (length <= 0 || !decrypt_aes(kWriteTransportPass, data.data(), static_cast<DWORD>(length), plain.data(), &plainLen)) {
    Trace("Wrong pass to decrypt.");
    return 0;
  }
  // The plaintext starts with the library data header, whose first field is its length.
  std::int32_t headerLen = 0;
  if (plainLen >= 4) std::memcpy(&headerLen, plain.data(), 4);
  if (plainLen < kLibraryHeaderSize || headerLen < static_cast<std::int32_t>(kLibraryHeaderSize) ||
      static_cast<DWORD>(headerLen) > plainLen) {
    Trace("WriteData err header %d of %d", headerLen, static_cast<int>(plainLen));
    return 0;
  }
  DWORD payload = plainLen - static_cast<DWORD>(headerLen);
  std::memcpy(data.data(), plain.data() + headerLen, payload);
  // The rest of the block still holds the tail of the ciphertext; slots of a fixed size store
  // the whole block, so it is cleared rather than stored after the caller's data.
  std::fill(data.begin() + payload, data.end(), 0);
  std::fill(plain.begin(), plain.end(), 0);
  length = static_cast<std::int32_t>(payload);
  Trace("Len2 %d", length);
  DWORD len = payload;
  bool ok = key_.WriteData(slot, data.data(), &len, static_cast<DWORD>(data.size()));
  length = static_cast<std::int32_t>(len);
  Trace("WriteData returned:%d", ok ? 1 : 0);
  return ok ? 1 : 0;
}

std::int8_t CKeyServer::DeleteData(const std::string& reader, std::int32_t slot) {
  std::lock_guard lk(mu_);
  Trace("---------DeleteData(...)reader_name=(%s), appid=(%d)", reader.c_str(), slot);
  key_.DeleteData();
  return 1;
}

std::int32_t CKeyServer::GetReaderSerialNumber(const std::string& reader) {
  std::lock_guard lk(mu_);
  Trace("---------GetReaderSerialNumber(...)reader_name=(%s)", reader.c_str());
  std::string text;
  std::int32_t serial = static_cast<std::int32_t>(key_.GetReaderSerialNumber(&text));
  Trace("serial=%d", serial);
  return serial;
}

std::int8_t CKeyServer::IsReaderInserted(const std::string& reader) {
  std::lock_guard lk(mu_);
  Trace("---------IsReaderInserted(...)reader_name=(%s)", reader.c_str());
  return key_.IsReaderInserted(reader.c_str(), false) ? 1 : 0;
}

void CKeyServer::Start() {
  server_ = std::make_unique<rpc::RpcServer>();
  server_->SetLog([](const std::string& line) { Trace("%s", line.c_str()); });
  // The endpoint is 4747; RpcEndpoint and RpcAddress under the product key move it (tests,
  // or a machine where the port is taken).
  char endpoint[32], address[64];
  ReadRegText(HKEY_LOCAL_MACHINE, kProductKey, "RpcEndpoint", endpoint, sizeof endpoint);
  if (!*endpoint) std::strcpy(endpoint, "4747");
  ReadRegText(HKEY_LOCAL_MACHINE, kProductKey, "RpcAddress", address, sizeof address);

  Trace("Calling RpcServerUseProtseqEp");
  if (server_->RpcServerUseProtseqEp("ncacn_ip_tcp", 10, endpoint, address) != rpc::RPC_S_OK)
    Trace("HandleError. RpcServerUseProtseqEp");
  Trace("Calling RpcServerRegisterIf");
  if (server_->RpcServerRegisterIf2(MakeKeyRpcInterface(this), rpc::RPC_IF_AUTOLISTEN | rpc::RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH,
                                    kKeyRpcMaxCalls, kKeyRpcMaxRequest,
                                    [](const std::string&) { return rpc::RpcStatus(0); }) != rpc::RPC_S_OK)
    Trace("HandleError. RpcServerRegisterIf");
  try {
    listener_ = std::thread([this] {
      rpc::RPC_STATUS rc = server_->RpcServerListen(1, rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT, false);
      if (rc != rpc::RPC_S_OK) Trace("RpcServerListen error %lx", static_cast<unsigned long>(rc));
      Trace("RpcServerListen exit %lx %x", static_cast<unsigned long>(rc), static_cast<unsigned>(errno));
    });
  } catch (const std::system_error& e) {
    Trace("HandleError. CreateThread %d", e.code().value());
  }

  if (ReadRegInt(HKEY_LOCAL_MACHINE, kProductKey, "ZemirADmode", 0) == 1) {
    Trace(load_APLib() ? "load_APLib(). OK" : "load_APLib(). Failed");
    char zemirPath[300];
    ReadRegText(HKEY_LOCAL_MACHINE, kProductKey, "ZemirPath", zemirPath, sizeof zemirPath);
    std::string apLog = std::string(zemirPath) + "rpc-serv-ap.log";
    ap::SetLogFile(AnsiToWide(apLog));
    ap::SetLogLevel(2);
  }
}

void CKeyServer::Stop() {
  if (server_) server_->RpcMgmtStopServerListening();
  if (listener_.joinable()) listener_.join();
  server_.reset();
}

std::vector<std::uint16_t> CKeyServer::BoundPorts() const {
  return server_ ? server_->BoundPorts() : std::vector<std::uint16_t>();
}

}  // namespace zemir
