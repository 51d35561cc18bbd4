// Server stubs of the key interface under NDR 2.0.
#include "zemir/service/keyrpc.h"

#include <memory>

namespace zemir {

using rpc::NdrReader;
using rpc::NdrWriter;
using rpc::RpcStatus;

namespace {

// A reader name, PIN or user name: bounded only by the request size limit.
bool ReadString(NdrReader& in, std::string* s) { return in.ConformantVaryingString(s, kKeyRpcMaxRequest); }

// The [in, out] data block and length of ReadData and WriteData. Lengths outside the block
// are refused: the operations behind them treat the length as a count of bytes in the block.
bool ReadBlockAndLength(NdrReader& in, KeyDataBlock* data, std::int32_t* length) {
  if (!in.Bytes(data->data(), data->size()) || !in.I32(length)) return false;
  if (*length < 0 || *length > static_cast<std::int32_t>(kKeyDataSize)) {
    in.Fail();
    return false;
  }
  return true;
}

void WriteBlockAndLength(NdrWriter& out, const KeyDataBlock& data, std::int32_t length) {
  out.Bytes(data.data(), data.size());
  out.I32(length);
}

}  // namespace

RpcStatus KeyRpcDispatch(KeyRpcHandler& h, std::uint16_t opnum, NdrReader& in, NdrWriter& out) {
  std::string reader, pin, newPin;
  switch (opnum) {
    case kOpCloseLibrary:
      h.CloseLibrary();
      return 0;
    case kOpInitLibrary: {
      std::optional<char> c = h.InitLibrary();
      if (!c) {
        out.U32(0);  // null pointer
      } else {
        out.U32(0x00020000);  // referent id
        out.U8(static_cast<std::uint8_t>(*c));
      }
      return 0;
    }
    case kOpIsAnyReaderConnected2: {
      std::array<char, kReaderTextSize> text{};
      h.IsAnyReaderConnected2(text);
      out.Bytes(text.data(), text.size());
      return 0;
    }
    case kOpVerifyPIN:
      if (!ReadString(in, &reader) || !ReadString(in, &pin)) return rpc::kRpcBadStubData;
      out.I8(h.VerifyPIN(reader, pin));
      return 0;
    case kOpChangePIN:
      if (!ReadString(in, &reader) || !ReadString(in, &pin) || !ReadString(in, &newPin)) return rpc::kRpcBadStubData;
      out.I8(h.ChangePIN(reader, pin, newPin));
      return 0;
    case kOpReadData:
    case kOpWriteData: {
      std::int32_t slot = 0, length = 0;
      auto data = std::make_unique<KeyDataBlock>();
      if (!ReadString(in, &reader) || !in.I32(&slot) || !ReadBlockAndLength(in, data.get(), &length))
        return rpc::kRpcBadStubData;
      std::int8_t r = opnum == kOpReadData ? h.ReadData(reader, slot, *data, length)
                                           : h.WriteData(reader, slot, *data, length);
      WriteBlockAndLength(out, *data, length);
      out.I8(r);
      return 0;
    }
    case kOpDeleteData: {
      std::int32_t slot = 0;
      if (!ReadString(in, &reader) || !in.I32(&slot)) return rpc::kRpcBadStubData;
      out.I8(h.DeleteData(reader, slot));
      return 0;
    }
    case kOpGetReaderSerialNumber:
      if (!ReadString(in, &reader)) return rpc::kRpcBadStubData;
      out.I32(h.GetReaderSerialNumber(reader));
      return 0;
    case kOpIsReaderInserted:
      if (!ReadString(in, &reader)) return rpc::kRpcBadStubData;
      out.I8(h.IsReaderInserted(reader));
      return 0;
    default:
      return rpc::kNcaOpRangeError;
  }
}

rpc::RpcInterface MakeKeyRpcInterface(KeyRpcHandler* handler) {
  rpc::RpcInterface itf;
  rpc::Uuid::Parse(kKeyRpcUuid, &itf.uuid);
  itf.major = kKeyRpcVersionMajor;
  itf.minor = kKeyRpcVersionMinor;
  itf.maxCalls = kKeyRpcMaxCalls;
  itf.maxRequestBytes = kKeyRpcMaxRequest;
  for (std::uint16_t op = 0; op < kKeyRpcOpCount; ++op)
    itf.ops.push_back([handler, op](NdrReader& in, NdrWriter& out) { return KeyRpcDispatch(*handler, op, in, out); });
  return itf;
}

}  // namespace zemir
