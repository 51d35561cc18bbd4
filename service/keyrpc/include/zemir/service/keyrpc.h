// The key interface (service/zemir_key.idl) on the server side: the stubs that read each
// operation's parameters as NDR 2.0 and write its results, over an abstract handler that the
// service implements with the key-access object.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "zemir/platform/rpc/connection.h"

namespace zemir {

constexpr const char* kKeyRpcUuid = "00000003-eaf3-4a7a-a0f2-bce4c30da78f";
constexpr std::uint16_t kKeyRpcVersionMajor = 1;
constexpr std::uint16_t kKeyRpcVersionMinor = 0;
constexpr std::size_t kKeyDataSize = 9900;   // the data block of ReadData and WriteData
constexpr std::size_t kReaderTextSize = 20;  // the text of IsAnyReaderConnected2
constexpr unsigned kKeyRpcMaxCalls = 4;
constexpr std::size_t kKeyRpcMaxRequest = 15000;

using KeyDataBlock = std::array<unsigned char, kKeyDataSize>;

enum KeyRpcOp : std::uint16_t {
  kOpCloseLibrary = 0,
  kOpInitLibrary = 1,
  kOpIsAnyReaderConnected2 = 2,
  kOpVerifyPIN = 3,
  kOpChangePIN = 4,
  kOpReadData = 5,
  kOpWriteData = 6,
  kOpDeleteData = 7,
  kOpGetReaderSerialNumber = 8,
  kOpIsReaderInserted = 9,
  kKeyRpcOpCount = 10,
};

// One method per operation, in plain C++ types. Strings are narrow, without their NUL. The
// stubs have already refused calls whose parameters do not decode, so a handler sees only
// well-formed values (lengths within 0..9,900). "small" results are 1 success, 0 failure.
class KeyRpcHandler {
 public:
  virtual ~KeyRpcHandler() = default;
  virtual void CloseLibrary() = 0;
  // The character the returned pointer points at; nullopt sends a null pointer.
  virtual std::optional<char> InitLibrary() = 0;
  // `text` arrives zero-filled; all 20 bytes are sent.
  virtual void IsAnyReaderConnected2(std::array<char, kReaderTextSize>& text) = 0;
  virtual std::int8_t VerifyPIN(const std::string& reader, const std::string& pin) = 0;
  virtual std::int8_t ChangePIN(const std::string& reader, const std::string& pin, const std::string& newPin) = 0;
  // `data` and `length` hold what the caller sent and go back whole, as the handler leaves them.
  virtual std::int8_t ReadData(const std::string& reader, std::int32_t slot, KeyDataBlock& data,
                               std::int32_t& length) = 0;
  virtual std::int8_t WriteData(const std::string& reader, std::int32_t slot, KeyDataBlock& data,
                                std::int32_t& length) = 0;
  virtual std::int8_t DeleteData(const std::string& reader, std::int32_t slot) = 0;
  virtual std::int32_t GetReaderSerialNumber(const std::string& reader) = 0;
  virtual std::int8_t IsReaderInserted(const std::string& reader) = 0;
};

// Reads operation `opnum`'s [in] parameters from `in`, calls the handler, writes the [out]
// parameters and result to `out`. Returns 0, kRpcBadStubData when the parameters do not
// decode (the handler is then not called), or kNcaOpRangeError for an unknown operation.
rpc::RpcStatus KeyRpcDispatch(KeyRpcHandler& handler, std::uint16_t opnum, rpc::NdrReader& in, rpc::NdrWriter& out);

// The interface for RpcServer::RpcServerRegisterIf: identity, stubs over `handler` (which
// must outlive the server), 4 concurrent calls, 15,000 bytes per request.
rpc::RpcInterface MakeKeyRpcInterface(KeyRpcHandler* handler);

}  // namespace zemir
