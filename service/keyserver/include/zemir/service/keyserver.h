// The RPC key server: the key interface's operations over the process's one key-access
// object, the one-time-password check of slot 1001, and the RPC set-up of the service's run.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "zemir/keys/smartkey.h"
#include "zemir/platform/rpc/server.h"
#include "zemir/service/keyrpc.h"

namespace zemir {

// The pass that callers encrypt WriteData's block with.
inline constexpr const char* kWriteTransportPass = "8406152937";
// The slot whose ReadData checks a one-time password for the domain-wide second factor.
inline constexpr std::int32_t kOtpSlot = 1001;

class CKeyServer : public KeyRpcHandler {
 public:
  CKeyServer();
  ~CKeyServer() override;

  void CloseLibrary() override;
  std::optional<char> InitLibrary() override;
  void IsAnyReaderConnected2(std::array<char, kReaderTextSize>& text) override;
  std::int8_t VerifyPIN(const std::string& reader, const std::string& pin) override;
  std::int8_t ChangePIN(const std::string& reader, const std::string& pin, const std::string& newPin) override;
  std::int8_t ReadData(const std::string& reader, std::int32_t slot, KeyDataBlock& data,
                       std::int32_t& length) override;
  std::int8_t WriteData(const std::string& reader, std::int32_t slot, KeyDataBlock& data,
                        std::int32_t& length) override;
  std::int8_t DeleteData(const std::string& reader, std::int32_t slot) override;
  std::int32_t GetReaderSerialNumber(const std::string& reader) override;
  std::int8_t IsReaderInserted(const std::string& reader) override;

  // The RPC part of the service's run: endpoint, interface, listener thread and, in
  // directory mode, the adapter. Failures are logged and the service runs on without RPC.
  void Start();
  // Stops listening and waits for the listener thread.
  void Stop();
  // The TCP ports listened on (tests pick a free one).
  std::vector<std::uint16_t> BoundPorts() const;

  CSmartKey_cpl& key() { return key_; }

 private:
  std::int8_t CheckOneTimePassword(const std::string& user, KeyDataBlock& data, std::int32_t& length);

  std::mutex mu_;  // one call at a time on the key-access object
  CSmartKey_cpl key_;
  std::string lastUser_;      // the last user whose one-time password was verified
  std::uint32_t lastTime_ = 0;  // when, in seconds since 1970 (low 32 bits)

  std::unique_ptr<rpc::RpcServer> server_;
  std::thread listener_;
};

}  // namespace zemir
