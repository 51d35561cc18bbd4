// A small server for the end-to-end test: the runtime and the key interface over the fake
// handler. Usage: zemir_keyrpc_testserver PORT CALLS_FILE [READ_TIMEOUT_MS]. Prints "PORT n"
// once listening (PORT 0 picks a free port), writes one line per call to CALLS_FILE, and
// stops on SIGTERM or SIGINT.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "fake_handler.h"
#include "zemir/platform/rpc/server.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s PORT CALLS_FILE [READ_TIMEOUT_MS]\n", argv[0]);
    return 2;
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // inherited by the runtime's threads

  std::FILE* calls = std::fopen(argv[2], "w");
  if (!calls) return 2;
  zemir::test::FakeKeyHandler handler;
  handler.set_log(calls);

  zemir::rpc::RpcServer server;
  zemir::rpc::ServerOptions opts;
  if (argc > 3) opts.readTimeoutMs = static_cast<unsigned>(std::atoi(argv[3]));
  server.SetOptions(opts);
  server.SetLog([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
  long st = server.RpcServerUseProtseqEp("ncacn_ip_tcp", zemir::rpc::RPC_C_PROTSEQ_MAX_REQS_DEFAULT, argv[1], "127.0.0.1");
  if (st != zemir::rpc::RPC_S_OK) {
    std::fprintf(stderr, "RpcServerUseProtseqEp %ld\n", st);
    return 1;
  }
  st = server.RpcServerRegisterIf(zemir::MakeKeyRpcInterface(&handler),
                                  zemir::rpc::RPC_IF_AUTOLISTEN | zemir::rpc::RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH);
  if (st != zemir::rpc::RPC_S_OK) {
    std::fprintf(stderr, "RpcServerRegisterIf %ld\n", st);
    return 1;
  }
  std::thread listener([&] { server.RpcServerListen(1, zemir::rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT, false); });
  std::printf("PORT %u\n", server.BoundPorts().at(0));
  std::fflush(stdout);

  int sig = 0;
  sigwait(&set, &sig);
  server.RpcMgmtStopServerListening();
  listener.join();
  std::fclose(calls);
  return 0;
}
