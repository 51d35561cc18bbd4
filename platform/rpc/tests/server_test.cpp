// The runtime over real sockets: concurrency caps that make calls wait, silent clients,
// and a graceful stop.
#include "zemir/platform/rpc/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "pdu_builder.h"

using namespace zemir::rpc;
using namespace zemir::rpc::test;

namespace {

class Client {
 public:
  explicit Client(std::uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~Client() { close(fd_); }
  bool connected() const { return connected_; }
  bool Send(const std::vector<std::uint8_t>& b) {
    return send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
  }
  // One whole PDU, or empty on close/timeout.
  std::vector<std::uint8_t> Recv() {
    std::vector<std::uint8_t> b(16);
    if (!ReadAll(b.data(), 16)) return {};
    std::size_t len = Le16(b, 8);
    b.resize(len);
    if (len < 16 || !ReadAll(b.data() + 16, len - 16)) return {};
    return b;
  }
  bool Closed() {
    std::uint8_t c;
    return recv(fd_, &c, 1, 0) == 0;
  }
  bool Bind() {
    if (!Send(BindPdu(kPtBind, 1, {{0, kTestIf, 1, 0, {{kNdr20, 2}}}}))) return false;
    auto a = Recv();
    return a.size() > 2 && a[2] == kPtBindAck;
  }

 private:
  bool ReadAll(std::uint8_t* p, std::size_t n) {
    while (n) {
      ssize_t r = recv(fd_, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<std::size_t>(r);
    }
    return true;
  }
  int fd_;
  bool connected_ = false;
};

struct Tracker {
  std::atomic<int> now{0}, peak{0}, calls{0};
};

RpcInterface SlowInterface(Tracker* t, unsigned maxCalls) {
  RpcInterface itf;
  Uuid::Parse(kTestIf, &itf.uuid);
  itf.major = 1;
  itf.maxCalls = maxCalls;
  itf.ops.push_back([t](NdrReader& in, NdrWriter& out) -> RpcStatus {
    int n = ++t->now;
    int p = t->peak;
    while (n > p && !t->peak.compare_exchange_weak(p, n)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    --t->now;
    ++t->calls;
    out.U32(7);
    return 0;
  });
  return itf;
}

}  // namespace

TEST(RpcServer, CallsBeyondTheLimitsWaitAndAllAreAnswered) {
  // The interface's cap, then the endpoint's worker count, is the tighter limit.
  struct {
    unsigned workers, interfaceCalls;
    int peak;
  } limits[] = {{10, 2, 2}, {3, 8, 3}};
  for (const auto& lim : limits) {
    Tracker t;
    RpcServer s;
    ASSERT_EQ(s.RpcServerUseProtseqEp("ncacn_ip_tcp", lim.workers, "0", "127.0.0.1"), RPC_S_OK);
    ASSERT_EQ(s.RpcServerRegisterIf(SlowInterface(&t, lim.interfaceCalls), RPC_IF_AUTOLISTEN), RPC_S_OK);
    std::uint16_t port = s.BoundPorts().at(0);
    ASSERT_NE(port, 0);
    EXPECT_EQ(s.RpcServerRegisterIf(SlowInterface(&t, 2)), RPC_S_ALREADY_LISTENING);

    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 6; ++i)
      clients.emplace_back([&, i] {
        Client c(port);
        if (!c.Bind() || !c.Send(RequestPdu(10 + i, 0, 0, {}))) return;
        auto r = c.Recv();
        if (r.size() == 28 && r[2] == kPtResponse && Le32(r, 24) == 7) ++answered;
      });
    for (auto& th : clients) th.join();
    EXPECT_EQ(answered, 6);
    EXPECT_EQ(t.peak, lim.peak);
    EXPECT_EQ(s.RpcMgmtStopServerListening(), RPC_S_OK);
    EXPECT_EQ(s.RpcMgmtWaitServerListen(), RPC_S_OK);
  }
}

TEST(RpcServer, SilentClientsAreDroppedOthersStillServed) {
  Tracker t;
  RpcServer s;
  ServerOptions o;
  o.readTimeoutMs = 300;
  o.idleTimeoutMs = 600;
  s.SetOptions(o);
  std::vector<std::string> log;
  std::mutex logMu;
  s.SetLog([&](const std::string& l) {
    std::lock_guard<std::mutex> g(logMu);
    log.push_back(l);
  });
  ASSERT_EQ(s.RpcServerUseProtseqEp("ncacn_ip_tcp", 10, "0", "127.0.0.1"), RPC_S_OK);
  ASSERT_EQ(s.RpcServerRegisterIf(SlowInterface(&t, 4)), RPC_S_OK);
  ASSERT_EQ(s.RpcServerListen(1, RPC_C_LISTEN_MAX_CALLS_DEFAULT, true), RPC_S_OK);
  std::uint16_t port = s.BoundPorts().at(0);

  Client half(port), idle(port), good(port), mute(port);
  ASSERT_TRUE(half.Bind());
  auto pdu = RequestPdu(2, 0, 0, std::vector<std::uint8_t>(40));
  ASSERT_TRUE(half.Send(std::vector<std::uint8_t>(pdu.begin(), pdu.begin() + 30)));  // and then nothing
  ASSERT_TRUE(idle.Bind());
  ASSERT_TRUE(good.Bind());
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(half.Closed());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  ASSERT_TRUE(good.Send(RequestPdu(3, 0, 0, {})));
  EXPECT_EQ(good.Recv().size(), 28u);
  EXPECT_TRUE(idle.Closed());  // idle timeout
  EXPECT_TRUE(mute.Closed());  // never bound
  {
    std::lock_guard<std::mutex> g(logMu);
    bool found = false;
    for (auto& l : log) found |= l.find("middle of a PDU") != std::string::npos;
    EXPECT_TRUE(found);
  }
}

TEST(RpcServer, StopLetsTheRunningCallAnswerThenSaysShutdown) {
  Tracker t;
  auto s = std::make_unique<RpcServer>();
  ASSERT_EQ(s->RpcServerListen(), RPC_S_NO_PROTSEQS_REGISTERED);
  EXPECT_EQ(s->RpcServerUseProtseqEp("ncacn_np", 10, "4747"), RPC_S_PROTSEQ_NOT_SUPPORTED);
  EXPECT_EQ(s->RpcServerUseProtseqEp("ncacn_ip_tcp", 10, "47a7"), RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(s->RpcServerUseProtseqEp("ncacn_ip_tcp", 10, "70000"), RPC_S_INVALID_ENDPOINT_FORMAT);
  ASSERT_EQ(s->RpcServerUseProtseqEp("ncacn_ip_tcp", 10, "0", "127.0.0.1"), RPC_S_OK);
  std::uint16_t port = s->BoundPorts().at(0);
  RpcServer other;
  EXPECT_EQ(other.RpcServerUseProtseqEp("ncacn_ip_tcp", 10, std::to_string(port).c_str(), "127.0.0.1"),
            RPC_S_DUPLICATE_ENDPOINT);
  ASSERT_EQ(s->RpcServerRegisterIf(SlowInterface(&t, 4)), RPC_S_OK);
  std::thread listener([&] { EXPECT_EQ(s->RpcServerListen(), RPC_S_OK); });

  Client busy(port), idle(port);
  ASSERT_TRUE(busy.Bind());
  ASSERT_TRUE(idle.Bind());
  ASSERT_TRUE(busy.Send(RequestPdu(2, 0, 0, {})));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(s->RpcMgmtStopServerListening(), RPC_S_OK);
  auto r = busy.Recv();
  ASSERT_EQ(r.size(), 28u);
  EXPECT_EQ(r[2], kPtResponse);
  EXPECT_EQ(busy.Recv().at(2), kPtShutdown);
  EXPECT_EQ(idle.Recv().at(2), kPtShutdown);
  EXPECT_TRUE(idle.Closed());
  listener.join();
  EXPECT_EQ(s->RpcMgmtStopServerListening(), RPC_S_NOT_LISTENING);
  s.reset();
  Client late(port);
  EXPECT_FALSE(late.connected());
}

TEST(RpcServer, SecurityCallbackSeesTheClientAndCanRefuse) {
  Tracker t;
  RpcServer s;
  std::atomic<bool> admit{false};
  std::string seen;
  std::mutex seenMu;
  ASSERT_EQ(s.RpcServerUseProtseqEp("ncacn_ip_tcp", 10, "0", "127.0.0.1"), RPC_S_OK);
  ASSERT_EQ(s.RpcServerRegisterIf2(SlowInterface(&t, 1), RPC_IF_AUTOLISTEN | RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, 4,
                                   15000,
                                   [&](const std::string& peer) -> RpcStatus {
                                     std::lock_guard<std::mutex> g(seenMu);
                                     seen = peer;
                                     return admit ? 0 : 5;
                                   }),
            RPC_S_OK);
  Client c(s.BoundPorts().at(0));
  ASSERT_TRUE(c.Bind());
  ASSERT_TRUE(c.Send(RequestPdu(2, 0, 0, {})));
  auto r = c.Recv();
  ASSERT_EQ(r.size(), kFaultSize);
  EXPECT_EQ(Le32(r, 24), kRpcAccessDenied);
  EXPECT_EQ(t.calls, 0);
  admit = true;
  ASSERT_TRUE(c.Send(RequestPdu(3, 0, 0, {})));
  EXPECT_EQ(c.Recv().size(), 28u);
  EXPECT_EQ(t.calls, 1);
  std::lock_guard<std::mutex> g(seenMu);
  EXPECT_EQ(seen, "127.0.0.1");
}
