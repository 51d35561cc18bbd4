// The RPC server runtime: TCP endpoints ("ncacn_ip_tcp"), registered interfaces, a listener
// thread per endpoint that does all socket I/O, and a pool of worker threads that run calls.
// The calls mirror the Windows runtime's names; results are RPC status codes.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zemir/platform/rpc/connection.h"

namespace zemir::rpc {

using RPC_STATUS = long;
constexpr RPC_STATUS RPC_S_OK = 0;
constexpr RPC_STATUS RPC_S_OUT_OF_MEMORY = 14;
constexpr RPC_STATUS RPC_S_INVALID_ARG = 87;
constexpr RPC_STATUS RPC_S_PROTSEQ_NOT_SUPPORTED = 1703;
constexpr RPC_STATUS RPC_S_INVALID_ENDPOINT_FORMAT = 1706;
constexpr RPC_STATUS RPC_S_INVALID_NET_ADDR = 1707;
constexpr RPC_STATUS RPC_S_ALREADY_REGISTERED = 1711;
constexpr RPC_STATUS RPC_S_ALREADY_LISTENING = 1713;
constexpr RPC_STATUS RPC_S_NO_PROTSEQS_REGISTERED = 1714;
constexpr RPC_STATUS RPC_S_NOT_LISTENING = 1715;
constexpr RPC_STATUS RPC_S_CANT_CREATE_ENDPOINT = 1720;
constexpr RPC_STATUS RPC_S_DUPLICATE_ENDPOINT = 1740;

// Interface registration flags.
constexpr unsigned RPC_IF_AUTOLISTEN = 0x0001;
constexpr unsigned RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH = 0x0010;

constexpr unsigned RPC_C_LISTEN_MAX_CALLS_DEFAULT = 1234;
constexpr unsigned RPC_C_PROTSEQ_MAX_REQS_DEFAULT = 10;

struct ServerOptions {
  std::uint16_t maxFragment = 5840;   // largest fragment sent or accepted
  // A PDU or fragmented call left unfinished, or a connection not bound, this long is closed.
  unsigned readTimeoutMs = 30000;
  // A bound connection with nothing to do this long is closed; 0 keeps it, as Windows servers
  // do (clients keep their connection between calls, and an idle one holds no worker).
  unsigned idleTimeoutMs = 0;
  unsigned writeTimeoutMs = 30000;  // a client that reads none of its answers this long is dropped
  unsigned maxConnections = 512;    // per endpoint; further clients wait in the accept queue
};

class RpcServer {
 public:
  RpcServer();
  ~RpcServer();  // stops listening and waits for running calls
  RpcServer(const RpcServer&) = delete;
  RpcServer& operator=(const RpcServer&) = delete;

  // Where the runtime's own messages go (refused calls, dropped connections). Set before listening.
  void SetLog(LogFn log);
  void SetOptions(const ServerOptions& options);

  // Opens a TCP endpoint: `protseq` "ncacn_ip_tcp", `endpoint` the port as text ("4747";
  // "0" picks a free port), `address` null or empty for all addresses, else an IPv4 address
  // such as "127.0.0.1". `maxCalls` is the number of worker threads serving the endpoint's calls
  // (at most 64; 0 gives the default 10).
  RPC_STATUS RpcServerUseProtseqEp(const char* protseq, unsigned maxCalls, const char* endpoint,
                                   const char* address = nullptr);
  // Offers an interface on every endpoint. With RPC_IF_AUTOLISTEN, serving starts now.
  // Interfaces are registered before serving starts (RPC_S_ALREADY_LISTENING after).
  RPC_STATUS RpcServerRegisterIf(RpcInterface itf, unsigned flags = 0);
  // The same with the limits and security callback given apart, as the Windows call takes them.
  RPC_STATUS RpcServerRegisterIf2(RpcInterface itf, unsigned flags, unsigned maxCalls, unsigned maxRpcSize,
                                  SecurityCallback callback);
  // Starts serving; unless `dontWait`, blocks until RpcMgmtStopServerListening. The thread and
  // call counts are accepted for the Windows shape; the endpoints' workers set the real limits.
  RPC_STATUS RpcServerListen(unsigned minThreads = 1, unsigned maxCalls = RPC_C_LISTEN_MAX_CALLS_DEFAULT,
                             bool dontWait = false);
  // Stops accepting and reading calls, lets running calls finish and send their answers,
  // tells the clients with a shutdown PDU and closes their connections. Returns at once;
  // RpcMgmtWaitServerListen waits for the end.
  RPC_STATUS RpcMgmtStopServerListening();
  RPC_STATUS RpcMgmtWaitServerListen();

  // The ports of the endpoints, in the order they were opened (useful with "0").
  std::vector<std::uint16_t> BoundPorts() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zemir::rpc
