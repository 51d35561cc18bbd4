// Fuzz target: the key interface's stub decoding for every operation. The first byte picks
// the operation and the byte order; the rest is the stub data.
#include <cstddef>
#include <cstdint>

#include "fuzz_handler.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zemir;
  static fuzz::QuietKeyHandler handler;
  if (size < 1) return 0;
  std::uint16_t op = data[0] % kKeyRpcOpCount;
  bool little = !(data[0] & 0x80);
  rpc::NdrReader in(data + 1, size - 1, little);
  rpc::NdrWriter out;
  rpc::RpcStatus st = KeyRpcDispatch(handler, op, in, out);
  // A refused call writes nothing; an accepted one has a fixed-size answer per operation.
  static const std::size_t sizes[kKeyRpcOpCount] = {0, 5, 20, 1, 1, 9905, 9905, 1, 4, 1};
  if (st == 0 && out.size() != sizes[op] && !(op == kOpInitLibrary && out.size() == 4)) __builtin_trap();
  if (st != 0 && st != rpc::kRpcBadStubData) __builtin_trap();
  return 0;
}
