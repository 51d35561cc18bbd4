// Fuzz target: a client's byte stream into one connection of the RPC runtime (header checks,
// bind and alter_context negotiation, fragment reassembly, the key interface's stubs and the
// response fragmentation). The first byte picks how the stream is cut into reads.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_handler.h"
#include "zemir/platform/rpc/connection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zemir;
  static fuzz::QuietKeyHandler handler;
  static const std::vector<rpc::RpcInterface> interfaces{MakeKeyRpcInterface(&handler)};
  if (size < 1) return 0;
  std::size_t chunk = data[0] ? data[0] * 7u : size;
  ++data;
  --size;
  rpc::RpcConnection conn(&interfaces, rpc::ConnectionLimits{}, "4747");
  std::vector<std::uint8_t> stub;
  for (std::size_t at = 0; at < size && !conn.closing(); at += chunk) {
    std::size_t n = size - at < chunk ? size - at : chunk;
    conn.Receive(data + at, n);
    while (auto call = conn.TakeCall()) {
      rpc::RpcStatus st = rpc::RpcConnection::Execute(interfaces, *call, &stub);
      conn.CompleteCall(*call, st, stub);
    }
    conn.Output().clear();
  }
  return 0;
}
