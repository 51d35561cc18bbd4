// The server runtime over POSIX sockets: one I/O thread per endpoint polls the listening
// socket and every connection and does all reads and writes; worker threads run the calls.
#include "zemir/platform/rpc/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace zemir::rpc {

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kMaxWorkers = 64;
constexpr std::size_t kOutputHighWater = 256 * 1024;  // stop reading a client that reads none of its answers

long long MsSince(Clock::time_point t, Clock::time_point now) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - t).count();
}

// Caps the calls running in one interface at once; callers beyond the cap wait their turn.
struct InterfaceGate {
  explicit InterfaceGate(unsigned max) : max(max ? max : 1) {}
  void Enter() {
    std::unique_lock<std::mutex> l(mu);
    cv.wait(l, [&] { return active < max; });
    ++active;
  }
  void Leave() {
    {
      std::lock_guard<std::mutex> l(mu);
      --active;
    }
    cv.notify_one();
  }
  std::mutex mu;
  std::condition_variable cv;
  unsigned active = 0;
  unsigned max;
};

struct Conn {
  Conn(int fd, std::string peer, const std::vector<RpcInterface>* ifs, ConnectionLimits lim, std::string port,
       LogFn log)
      : fd(fd), peer(std::move(peer)), engine(ifs, lim, std::move(port), std::move(log)) {}
  int fd;
  const std::string peer;  // the client's address
  std::mutex mu;  // guards engine and the flags below (shared with the worker running its call)
  RpcConnection engine;
  bool dead = false;
  bool shutdownSent = false;
  Clock::time_point lastActivity = Clock::now();
  Clock::time_point waitingSince = Clock::now();  // start of the current unfinished PDU or call
  bool waiting = false;
  Clock::time_point lastWrite = Clock::now();
};

struct Task {
  std::shared_ptr<Conn> conn;
  PendingCall call;
};

}  // namespace

struct Endpoint {
  int listenFd = -1;
  int wakeFd = -1;
  std::uint16_t port = 0;
  unsigned workers = RPC_C_PROTSEQ_MAX_REQS_DEFAULT;
  std::thread io;
  std::vector<std::thread> pool;
  std::mutex qmu;
  std::condition_variable qcv;
  std::deque<Task> tasks;
  bool workersStop = false;
  std::atomic<int> inFlight{0};  // tasks queued or running
  std::atomic<bool> stopping{false};
  std::vector<std::shared_ptr<Conn>> conns;  // I/O thread only

  ~Endpoint() {
    if (listenFd >= 0) close(listenFd);
    if (wakeFd >= 0) close(wakeFd);
  }
  void Wake() const {
    std::uint64_t one = 1;
    ssize_t r = write(wakeFd, &one, sizeof one);
    (void)r;
  }
};

struct RpcServer::Impl {
  std::vector<RpcInterface> interfaces;
  std::vector<std::unique_ptr<InterfaceGate>> gates;
  std::vector<std::unique_ptr<Endpoint>> endpoints;
  ServerOptions opts;
  LogFn log;
  std::mutex mu;  // guards the flags below
  bool serving = false;
  bool listenCalled = false;
  bool stopRequested = false;
  std::mutex joinMu;
  bool joined = false;

  void Log(const std::string& s) const {
    if (log) log(s);
  }
  void StartServing();
  void IoLoop(Endpoint* ep);
  void Worker(Endpoint* ep);
  void Dispatch(Endpoint* ep, const std::shared_ptr<Conn>& c, PendingCall call);
  void Flush(Endpoint* ep, Conn& c, Clock::time_point now);
  void Join();
};

RpcServer::RpcServer() : impl_(std::make_unique<Impl>()) {}

RpcServer::~RpcServer() {
  RpcMgmtStopServerListening();
  impl_->Join();
}

void RpcServer::SetLog(LogFn log) { impl_->log = std::move(log); }
void RpcServer::SetOptions(const ServerOptions& options) { impl_->opts = options; }

RPC_STATUS RpcServer::RpcServerUseProtseqEp(const char* protseq, unsigned maxCalls, const char* endpoint,
                                            const char* address) {
  if (!protseq || std::strcmp(protseq, "ncacn_ip_tcp") != 0) return RPC_S_PROTSEQ_NOT_SUPPORTED;
  if (!endpoint || !*endpoint || std::strlen(endpoint) > 5) return RPC_S_INVALID_ENDPOINT_FORMAT;
  unsigned long port = 0;
  for (const char* p = endpoint; *p; ++p) {
    if (*p < '0' || *p > '9') return RPC_S_INVALID_ENDPOINT_FORMAT;
    port = port * 10 + static_cast<unsigned>(*p - '0');
  }
  if (port > 65535) return RPC_S_INVALID_ENDPOINT_FORMAT;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (address && *address && inet_pton(AF_INET, address, &sa.sin_addr) != 1) return RPC_S_INVALID_NET_ADDR;
  {
    std::lock_guard<std::mutex> l(impl_->mu);
    if (impl_->serving || impl_->stopRequested) return RPC_S_ALREADY_LISTENING;
  }
  auto ep = std::make_unique<Endpoint>();
  // One worker per concurrent call, within reason: the Windows call also takes large values.
  ep->workers = maxCalls ? std::min(maxCalls, kMaxWorkers) : RPC_C_PROTSEQ_MAX_REQS_DEFAULT;
  ep->listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ep->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (ep->listenFd < 0 || ep->wakeFd < 0) return RPC_S_CANT_CREATE_ENDPOINT;
  int one = 1;
  setsockopt(ep->listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(ep->listenFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    int e = errno;
    impl_->Log(std::string("RPC endpoint ") + endpoint + ": bind failed: " + std::strerror(e));
    return e == EADDRINUSE ? RPC_S_DUPLICATE_ENDPOINT : RPC_S_CANT_CREATE_ENDPOINT;
  }
  if (listen(ep->listenFd, 128) != 0) return RPC_S_CANT_CREATE_ENDPOINT;
  socklen_t len = sizeof sa;
  getsockname(ep->listenFd, reinterpret_cast<sockaddr*>(&sa), &len);
  ep->port = ntohs(sa.sin_port);
  std::lock_guard<std::mutex> l(impl_->mu);
  impl_->endpoints.push_back(std::move(ep));
  return RPC_S_OK;
}

RPC_STATUS RpcServer::RpcServerRegisterIf(RpcInterface itf, unsigned flags) {
  {
    std::lock_guard<std::mutex> l(impl_->mu);
    // Connections read the interface table without locks, so it is fixed once serving starts.
    if (impl_->serving || impl_->stopRequested) return RPC_S_ALREADY_LISTENING;
    for (const auto& i : impl_->interfaces)
      if (i.uuid == itf.uuid && i.major == itf.major) return RPC_S_ALREADY_REGISTERED;
    impl_->gates.push_back(std::make_unique<InterfaceGate>(itf.maxCalls));
    impl_->interfaces.push_back(std::move(itf));
  }
  if (flags & RPC_IF_AUTOLISTEN) impl_->StartServing();
  return RPC_S_OK;
}

RPC_STATUS RpcServer::RpcServerRegisterIf2(RpcInterface itf, unsigned flags, unsigned maxCalls, unsigned maxRpcSize,
                                           SecurityCallback callback) {
  if (maxCalls) itf.maxCalls = maxCalls;
  if (maxRpcSize) itf.maxRequestBytes = maxRpcSize;
  itf.securityCallback = std::move(callback);
  return RpcServerRegisterIf(std::move(itf), flags);
}

RPC_STATUS RpcServer::RpcServerListen(unsigned minThreads, unsigned maxCalls, bool dontWait) {
  {
    std::lock_guard<std::mutex> l(impl_->mu);
    if (impl_->endpoints.empty()) return RPC_S_NO_PROTSEQS_REGISTERED;
    if (impl_->listenCalled || impl_->stopRequested) return RPC_S_ALREADY_LISTENING;
    impl_->listenCalled = true;
  }
  impl_->StartServing();
  if (!dontWait) impl_->Join();
  return RPC_S_OK;
}

RPC_STATUS RpcServer::RpcMgmtStopServerListening() {
  std::lock_guard<std::mutex> l(impl_->mu);
  if (!impl_->serving || impl_->stopRequested) return RPC_S_NOT_LISTENING;
  impl_->stopRequested = true;
  for (auto& ep : impl_->endpoints) {
    ep->stopping = true;
    ep->Wake();
  }
  return RPC_S_OK;
}

RPC_STATUS RpcServer::RpcMgmtWaitServerListen() {
  {
    std::lock_guard<std::mutex> l(impl_->mu);
    if (!impl_->serving) return RPC_S_NOT_LISTENING;
  }
  impl_->Join();
  return RPC_S_OK;
}

std::vector<std::uint16_t> RpcServer::BoundPorts() const {
  std::lock_guard<std::mutex> l(impl_->mu);
  std::vector<std::uint16_t> ports;
  for (const auto& ep : impl_->endpoints) ports.push_back(ep->port);
  return ports;
}

void RpcServer::Impl::StartServing() {
  std::lock_guard<std::mutex> l(mu);
  if (serving || stopRequested) return;
  serving = true;
  for (auto& ep : endpoints) {
    Endpoint* e = ep.get();
    for (unsigned i = 0; i < e->workers; ++i) e->pool.emplace_back([this, e] { Worker(e); });
    e->io = std::thread([this, e] { IoLoop(e); });
  }
}

// Waits for the I/O threads to finish their stop, then ends the workers.
void RpcServer::Impl::Join() {
  std::lock_guard<std::mutex> j(joinMu);
  if (joined) return;
  {
    std::lock_guard<std::mutex> l(mu);
    if (!serving) return;
  }
  for (auto& ep : endpoints) {
    if (ep->io.joinable()) ep->io.join();
    {
      std::lock_guard<std::mutex> l(ep->qmu);
      ep->workersStop = true;
    }
    ep->qcv.notify_all();
    for (auto& t : ep->pool) t.join();
    ep->pool.clear();
  }
  joined = true;
}

void RpcServer::Impl::Dispatch(Endpoint* ep, const std::shared_ptr<Conn>& c, PendingCall call) {
  ep->inFlight.fetch_add(1);
  {
    std::lock_guard<std::mutex> l(ep->qmu);
    ep->tasks.push_back(Task{c, std::move(call)});
  }
  ep->qcv.notify_one();
}

void RpcServer::Impl::Worker(Endpoint* ep) {
  std::vector<std::uint8_t> stubOut;
  for (;;) {
    Task t;
    {
      std::unique_lock<std::mutex> l(ep->qmu);
      ep->qcv.wait(l, [&] { return ep->workersStop || !ep->tasks.empty(); });
      if (ep->tasks.empty()) return;
      t = std::move(ep->tasks.front());
      ep->tasks.pop_front();
    }
    bool gone;
    {
      std::lock_guard<std::mutex> l(t.conn->mu);
      gone = t.conn->dead;
    }
    // A call whose client has gone is not run: nobody waits for its answer.
    RpcStatus st = 0;
    const RpcInterface& itf = interfaces[t.call.interfaceIndex];
    if (!gone && itf.securityCallback && itf.securityCallback(t.conn->peer) != 0) {
      Log("RPC call refused by the interface's security callback: " + t.conn->peer);
      st = kRpcAccessDenied;
      stubOut.clear();
    } else if (!gone) {
      InterfaceGate& gate = *gates[t.call.interfaceIndex];
      gate.Enter();
      st = RpcConnection::Execute(interfaces, t.call, &stubOut);
      gate.Leave();
    }
    std::optional<PendingCall> next;
    bool needIo;
    {
      std::lock_guard<std::mutex> l(t.conn->mu);
      Conn& c = *t.conn;
      c.engine.CompleteCall(t.call, st, stubOut);
      c.lastActivity = Clock::now();
      // Send the answer from here when the socket takes it: it saves a hand-over to the I/O
      // thread. The descriptor is only closed under this lock, so it is still this client's.
      if (!c.dead && c.fd >= 0 && !c.engine.Output().empty()) Flush(ep, c, c.lastActivity);
      if (!c.dead && !ep->stopping) next = c.engine.TakeCall();
      needIo = c.dead || !c.engine.Output().empty() || c.engine.closing() || ep->stopping;
    }
    stubOut.clear();
    if (next) Dispatch(ep, t.conn, std::move(*next));
    ep->inFlight.fetch_sub(1);
    if (needIo || ep->stopping) ep->Wake();
  }
}

void RpcServer::Impl::Flush(Endpoint* ep, Conn& c, Clock::time_point now) {
  auto& out = c.engine.Output();
  std::size_t sent = 0;
  while (sent < out.size()) {
    ssize_t n = send(c.fd, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      c.lastWrite = now;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    c.dead = true;  // the peer is gone
    break;
  }
  out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(sent));
}

void RpcServer::Impl::IoLoop(Endpoint* ep) {
  const ConnectionLimits limits{opts.maxFragment, 32, 8};
  const std::string port = std::to_string(ep->port);
  std::vector<pollfd> fds;
  std::vector<std::uint8_t> buf(64 * 1024);
  bool listening = true;

  for (;;) {
    const bool stopping = ep->stopping;
    if (stopping && listening) {
      close(ep->listenFd);
      ep->listenFd = -1;
      listening = false;
    }
    if (stopping && ep->conns.empty() && ep->inFlight == 0) break;

    fds.clear();
    fds.push_back({ep->wakeFd, POLLIN, 0});
    bool acceptNow = listening && ep->conns.size() < opts.maxConnections;
    fds.push_back({acceptNow ? ep->listenFd : -1, POLLIN, 0});
    for (auto& c : ep->conns) {
      std::lock_guard<std::mutex> l(c->mu);
      short ev = 0;
      if (!stopping && !c->engine.closing() && c->engine.Output().size() < kOutputHighWater) ev |= POLLIN;
      if (!c->engine.Output().empty()) ev |= POLLOUT;
      fds.push_back({c->fd, ev, 0});
    }
    int n = poll(fds.data(), fds.size(), 250);
    if (n < 0 && errno != EINTR) {
      Log(std::string("RPC poll failed: ") + std::strerror(errno));
      break;
    }
    const auto now = Clock::now();
    if (fds[0].revents & POLLIN) {
      std::uint64_t v;
      while (read(ep->wakeFd, &v, sizeof v) > 0) {
      }
    }

    // Existing connections first (the vector may grow below).
    const std::size_t count = ep->conns.size();
    for (std::size_t i = 0; i < count; ++i) {
      auto& c = ep->conns[i];
      short rev = fds[i + 2].revents;
      std::optional<PendingCall> call;
      std::lock_guard<std::mutex> l(c->mu);
      if (rev & POLLIN) {
        ssize_t got = recv(c->fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (got > 0) {
          c->lastActivity = now;
          c->engine.Receive(buf.data(), static_cast<std::size_t>(got));
          call = c->engine.TakeCall();
        } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
          c->dead = true;
        }
      } else if (rev & (POLLERR | POLLHUP | POLLNVAL)) {
        if (!(rev & POLLOUT)) c->dead = true;
      }
      if (call) Dispatch(ep, c, std::move(*call));
    }

    for (auto& c : ep->conns) {
      std::lock_guard<std::mutex> l(c->mu);
      if (c->dead) continue;
      if (stopping && !c->engine.callRunning() && !c->shutdownSent) {
        AppendShutdown(&c->engine.Output());
        c->shutdownSent = true;
      }
      if (!c->engine.Output().empty()) Flush(ep, *c, now);
      if (c->dead) continue;
      const bool outputLeft = !c->engine.Output().empty();
      if ((c->engine.closing() || c->shutdownSent) && !outputLeft && !c->engine.callRunning()) {
        c->dead = true;
        continue;
      }
      // Timeouts: a half-sent PDU or call, an idle connection, a client that reads nothing.
      // A client that has not bound yet owes its bind just as a half-sent PDU owes the rest.
      bool waiting = c->engine.awaitingInput() || !c->engine.bound();
      if (waiting && !c->waiting) c->waitingSince = now;
      c->waiting = waiting;
      if (waiting && MsSince(c->waitingSince, now) > opts.readTimeoutMs) {
        Log("RPC connection closed: client stopped in the middle of a PDU or call");
        c->dead = true;
      } else if (outputLeft && MsSince(c->lastWrite, now) > opts.writeTimeoutMs) {
        Log("RPC connection closed: client reads no answers");
        c->dead = true;
      } else if (!waiting && !outputLeft && !c->engine.callRunning() && opts.idleTimeoutMs &&
                 MsSince(c->lastActivity, now) > opts.idleTimeoutMs) {
        c->dead = true;
      }
    }
    // Close the dead. A worker may still hold one; it sees `dead` and drops its answer.
    for (std::size_t i = 0; i < ep->conns.size();) {
      auto& c = ep->conns[i];
      bool drop;
      {
        std::lock_guard<std::mutex> l(c->mu);
        drop = c->dead;
        if (drop && c->fd >= 0) {
          close(c->fd);
          c->fd = -1;
        }
      }
      if (drop) {
        ep->conns[i] = std::move(ep->conns.back());
        ep->conns.pop_back();
      } else {
        ++i;
      }
    }

    if (acceptNow && (fds[1].revents & POLLIN)) {
      while (ep->conns.size() < opts.maxConnections) {
        sockaddr_in peer{};
        socklen_t peerLen = sizeof peer;
        int fd = accept4(ep->listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char addr[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
        auto c = std::make_shared<Conn>(fd, addr, &interfaces, limits, port, log);
        c->lastActivity = c->lastWrite = Clock::now();
        ep->conns.push_back(std::move(c));
      }
    }
  }
  for (auto& c : ep->conns) {
    std::lock_guard<std::mutex> l(c->mu);
    c->dead = true;
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
  }
  ep->conns.clear();
}

}  // namespace zemir::rpc
