// Load client of the key interface: calls per second and p50/p99 latency of VerifyPIN and of
// ReadData (the 9,900-byte block both ways) over 1, 4 and 16 connections to a running service,
// each beside a plain TCP echo server in this process exchanging the same byte counts per call.
//
//   bench_rpc --port N [--mode NAME] [--reader R] [--pin P] [--slot N] [--seconds S] [--conns 1,4,16]
//   bench_rpc --runtime        the same against the RPC runtime in this process with stubs
//                              that do no work (the runtime's own cost, no key layer)
//   bench_rpc --free-port      prints a free loopback port (for run.sh)
//   bench_rpc                  runs bench/rpc/run.sh, which starts the service in library and in
//                              flash-drive mode in temporary prefixes and calls this program
//
// The client speaks DCE/RPC itself: a bind to the key interface with NDR 2.0, request PDUs
// fragmented to the size the server accepts, response fragments reassembled.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zemir/keys/aes.h"
#include "zemir/platform/prefix.h"
#include "zemir/platform/rpc/server.h"
#include "zemir/service/keyrpc.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBlock = 9900;
constexpr std::uint16_t kOpVerifyPin = 3;
constexpr std::uint16_t kOpReadData = 5;
constexpr std::uint16_t kOpWriteData = 6;
constexpr const char* kTransportPass = "8406152937";

// ---------------------------------------------------------------- sockets
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Socket& operator=(Socket&& o) noexcept {
    std::swap(fd_, o.fd_);
    return *this;
  }
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  bool SendAll(const std::uint8_t* p, std::size_t n) {
    while (n) {
      ssize_t k = ::send(fd_, p, n, MSG_NOSIGNAL);
      if (k <= 0) return false;
      p += k;
      n -= static_cast<std::size_t>(k);
    }
    return true;
  }
  bool RecvAll(std::uint8_t* p, std::size_t n) {
    while (n) {
      ssize_t k = ::recv(fd_, p, n, 0);
      if (k <= 0) return false;
      p += k;
      n -= static_cast<std::size_t>(k);
    }
    return true;
  }

 private:
  int fd_ = -1;
};

Socket Connect(const std::string& host, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) return Socket();
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s || ::connect(s.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return Socket();
  int one = 1;
  setsockopt(s.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

Socket Listen(std::uint16_t* port) {
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!s || ::bind(s.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(s.fd(), 64) != 0)
    return Socket();
  socklen_t len = sizeof sa;
  getsockname(s.fd(), reinterpret_cast<sockaddr*>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return s;
}

// ---------------------------------------------------------------- NDR and PDUs
void Put16(Bytes& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void Align4(Bytes& b) {
  while (b.size() % 4) b.push_back(0);
}
// An [in, string] char*: conformant varying string with its NUL.
void PutString(Bytes& b, const std::string& s) {
  Align4(b);
  auto n = static_cast<std::uint32_t>(s.size() + 1);
  Put32(b, n);
  Put32(b, 0);
  Put32(b, n);
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(0);
}
// A UUID in its little-endian wire form.
void PutUuid(Bytes& b, const char* text) {
  unsigned a, b1, c, d[8];
  std::sscanf(text, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &a, &b1, &c, &d[0], &d[1], &d[2], &d[3], &d[4], &d[5],
              &d[6], &d[7]);
  Put32(b, a);
  Put16(b, static_cast<std::uint16_t>(b1));
  Put16(b, static_cast<std::uint16_t>(c));
  for (unsigned x : d) b.push_back(static_cast<std::uint8_t>(x));
}

void PutHeader(Bytes& b, std::uint8_t ptype, std::uint8_t flags, std::uint32_t callId) {
  b.insert(b.end(), {5, 0, ptype, flags, 0x10, 0, 0, 0});
  Put16(b, 0);  // frag_length, set when the PDU is complete
  Put16(b, 0);  // auth_length
  Put32(b, callId);
}
void SetFragLength(Bytes& b, std::size_t start) {
  auto n = static_cast<std::uint16_t>(b.size() - start);
  b[start + 8] = static_cast<std::uint8_t>(n);
  b[start + 9] = static_cast<std::uint8_t>(n >> 8);
}

// One bound connection to the key interface.
class RpcClient {
 public:
  bool Open(const std::string& host, std::uint16_t port) {
    sock_ = Connect(host, port);
    if (!sock_) return false;
    Bytes b;
    PutHeader(b, 11, 3, callId_++);
    Put16(b, kFrag);  // max_xmit_frag
    Put16(b, kFrag);  // max_recv_frag
    Put32(b, 0);      // assoc_group_id
    b.insert(b.end(), {1, 0, 0, 0});  // one context
    Put16(b, 0);                       // context id
    b.insert(b.end(), {1, 0});         // one transfer syntax
    PutUuid(b, "00000003-eaf3-4a7a-a0f2-bce4c30da78f");
    Put32(b, 1);  // version 1.0
    PutUuid(b, "8a885d04-1ceb-11c9-9fe8-08002b104860");
    Put32(b, 2);
    SetFragLength(b, 0);
    if (!sock_.SendAll(b.data(), b.size())) return false;
    Bytes ack;
    if (!ReadPdu(ack) || ack[2] != 12) return false;
    serverRecv_ = std::min<std::uint16_t>(Get16(&ack[18]), kFrag);  // the server's max_recv_frag
    return serverRecv_ >= 64;
  }

  // One call: the stub is sent in fragments that fit the server, the answer's stub gathered.
  bool Call(std::uint16_t opnum, const Bytes& stub, Bytes& answer) {
    request_.clear();
    std::uint32_t id = callId_++;
    std::size_t room = serverRecv_ - 24, at = 0;
    do {
      std::size_t n = std::min(room, stub.size() - at);
      std::size_t start = request_.size();
      std::uint8_t flags = static_cast<std::uint8_t>((at == 0 ? 1 : 0) | (at + n == stub.size() ? 2 : 0));
      PutHeader(request_, 0, flags, id);
      Put32(request_, static_cast<std::uint32_t>(stub.size()));
      Put16(request_, 0);
      Put16(request_, opnum);
      request_.insert(request_.end(), stub.begin() + static_cast<long>(at), stub.begin() + static_cast<long>(at + n));
      SetFragLength(request_, start);
      at += n;
    } while (at < stub.size());
    if (!sock_.SendAll(request_.data(), request_.size())) return false;
    requestBytes_ = request_.size();
    responseBytes_ = 0;
    answer.clear();
    for (;;) {
      if (!ReadPdu(pdu_)) return false;
      responseBytes_ += pdu_.size();
      if (pdu_[2] != 2 || Get32(&pdu_[12]) != id) {
        fault_ = pdu_.size() >= 28 ? Get32(&pdu_[24]) : 0;
        return false;
      }
      answer.insert(answer.end(), pdu_.begin() + 24, pdu_.end());
      if (pdu_[3] & 2) return true;
    }
  }

  std::size_t requestBytes() const { return requestBytes_; }
  std::size_t responseBytes() const { return responseBytes_; }
  std::uint32_t fault() const { return fault_; }

 private:
  static constexpr std::uint16_t kFrag = 5840;  // what Windows clients offer

  bool ReadPdu(Bytes& out) {
    out.resize(16);
    if (!sock_.RecvAll(out.data(), 16)) return false;
    std::uint16_t len = Get16(&out[8]);
    if (len < 16) return false;
    out.resize(len);
    return sock_.RecvAll(out.data() + 16, len - 16u);
  }

  Socket sock_;
  std::uint32_t callId_ = 1;
  std::uint16_t serverRecv_ = 0;
  Bytes request_, pdu_;
  std::size_t requestBytes_ = 0, responseBytes_ = 0;
  std::uint32_t fault_ = 0;
};

Bytes VerifyPinStub(const std::string& reader, const std::string& pin) {
  Bytes b;
  PutString(b, reader);
  PutString(b, pin);
  return b;
}

Bytes DataStub(const std::string& reader, std::int32_t slot, const Bytes& block, std::int32_t length) {
  Bytes b;
  PutString(b, reader);
  Align4(b);
  Put32(b, static_cast<std::uint32_t>(slot));
  b.insert(b.end(), block.begin(), block.end());
  b.resize(b.size() + (kBlock - block.size()), 0);
  Align4(b);
  Put32(b, static_cast<std::uint32_t>(length));
  return b;
}

// ---------------------------------------------------------------- echo server
// Each request is an 8-byte head (bytes that follow, bytes to answer) and the bytes; the
// server answers with that many bytes. One thread per connection, as the calls are blocking.
class EchoServer {
 public:
  bool Start() {
    listen_ = Listen(&port_);
    if (!listen_) return false;
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
  }
  ~EchoServer() {
    stop_ = true;
    ::shutdown(listen_.fd(), SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    for (auto& t : conns_) t.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  void AcceptLoop() {
    while (!stop_) {
      int fd = ::accept4(listen_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (stop_) return;
        continue;
      }
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      conns_.emplace_back([fd] {
        Socket s(fd);
        Bytes in, out;
        std::uint8_t head[8];
        while (s.RecvAll(head, 8)) {
          in.resize(Get32(head));
          out.resize(Get32(head + 4), 0x5A);
          if (!s.RecvAll(in.data(), in.size()) || !s.SendAll(out.data(), out.size())) break;
        }
      });
    }
  }

  Socket listen_;
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  std::vector<std::thread> conns_;
};

class EchoClient {
 public:
  bool Open(std::uint16_t port) {
    sock_ = Connect("127.0.0.1", port);
    return static_cast<bool>(sock_);
  }
  bool Exchange(std::size_t send, std::size_t receive) {
    buf_.resize(std::max(send, receive) + 8);
    for (int i = 0; i < 4; ++i) {
      buf_[i] = static_cast<std::uint8_t>((send - 8) >> (8 * i));
      buf_[4 + i] = static_cast<std::uint8_t>(receive >> (8 * i));
    }
    return sock_.SendAll(buf_.data(), send) && sock_.RecvAll(buf_.data(), receive);
  }

 private:
  Socket sock_;
  Bytes buf_;
};

// ---------------------------------------------------------------- measurement
struct Result {
  double callsPerSecond = 0;
  double p50 = 0, p99 = 0;  // microseconds
  std::uint64_t calls = 0, errors = 0;
};

// Runs `conns` threads, each with its own connection (made by `open`, before the clock
// starts), calling `once` in a loop; a short warm-up is not counted.
template <typename Conn>
Result Measure(int conns, double seconds, const std::function<std::unique_ptr<Conn>()>& open,
               const std::function<bool(Conn&)>& once) {
  std::vector<std::unique_ptr<Conn>> cs;
  for (int i = 0; i < conns; ++i) {
    auto c = open();
    if (!c) return Result{0, 0, 0, 0, 1};
    cs.push_back(std::move(c));
  }
  std::atomic<int> phase{0};  // 0 warm-up, 1 measuring, 2 stop
  std::vector<std::vector<double>> lat(static_cast<std::size_t>(conns));
  std::vector<std::uint64_t> errors(static_cast<std::size_t>(conns), 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < conns; ++i) {
    threads.emplace_back([&, i] {
      auto& mine = lat[static_cast<std::size_t>(i)];
      mine.reserve(200000);
      while (phase.load(std::memory_order_relaxed) != 2) {
        int p = phase.load(std::memory_order_relaxed);
        auto t0 = Clock::now();
        bool ok = once(*cs[static_cast<std::size_t>(i)]);
        auto t1 = Clock::now();
        if (!ok) {
          ++errors[static_cast<std::size_t>(i)];
          break;  // a broken connection stays broken
        }
        if (p == 1 && phase.load(std::memory_order_relaxed) == 1)
          mine.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = Clock::now();
  phase = 1;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  phase = 2;
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& t : threads) t.join();
  std::vector<double> all;
  Result r;
  for (std::size_t i = 0; i < lat.size(); ++i) {
    all.insert(all.end(), lat[i].begin(), lat[i].end());
    r.errors += errors[i];
  }
  r.calls = all.size();
  r.callsPerSecond = static_cast<double>(all.size()) / elapsed;
  if (!all.empty()) {
    std::sort(all.begin(), all.end());
    r.p50 = all[all.size() / 2];
    r.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  }
  return r;
}

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;
  std::string mode = "service";
  std::string reader = "Zemir Test Reader 0";
  std::string pin = "2958";
  int slot = 3;
  double seconds = 2.0;
  std::vector<int> conns = {1, 4, 16};
  std::size_t payload = 8000;
};

bool OpenWithRetry(RpcClient& c, const Options& o) {
  // The service may still be setting up its endpoint when the script starts this program.
  for (int i = 0; i < 100; ++i) {
    if (c.Open(o.host, o.port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c = RpcClient();
  }
  return false;
}

// Verifies the PIN (a new key drive is set up by it) and stores a block in the slot that
// ReadData then reads, made as callers make it: header + payload under the transport pass.
bool Prepare(const Options& o, std::size_t* verifyReq, std::size_t* verifyResp, std::size_t* readReq,
             std::size_t* readResp) {
  RpcClient c;
  if (!OpenWithRetry(c, o)) {
    std::fprintf(stderr, "bench_rpc: no key interface on %s:%u\n", o.host.c_str(), o.port);
    return false;
  }
  Bytes answer;
  if (!c.Call(kOpVerifyPin, VerifyPinStub(o.reader, o.pin), answer) || answer.size() != 1 || answer[0] != 1) {
    std::fprintf(stderr, "bench_rpc: VerifyPIN(%s) failed (fault %X)\n", o.reader.c_str(), c.fault());
    return false;
  }
  *verifyReq = c.requestBytes();
  *verifyResp = c.responseBytes();

  Bytes plain(20 + o.payload);
  plain[0] = 20;
  for (std::size_t i = 20; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 31);
  Bytes cipher(plain.size() + 16);
  zemir::DWORD cap = static_cast<zemir::DWORD>(cipher.size());
  if (!zemir::encrypt_aes(kTransportPass, plain.data(), static_cast<zemir::DWORD>(plain.size()), cipher.data(), &cap)) {
    std::fprintf(stderr, "bench_rpc: encrypt_aes failed\n");
    return false;
  }
  cipher.resize(cap);
  if (!c.Call(kOpWriteData, DataStub(o.reader, o.slot, cipher, static_cast<std::int32_t>(cap)), answer) ||
      answer.size() != kBlock + 5 || answer.back() != 1) {
    std::fprintf(stderr, "bench_rpc: WriteData(slot %d) failed (fault %X)\n", o.slot, c.fault());
    return false;
  }
  if (!c.Call(kOpReadData, DataStub(o.reader, o.slot, Bytes(), kBlock), answer) || answer.size() != kBlock + 5 ||
      answer.back() != 1 || !std::equal(plain.begin() + 20, plain.end(), answer.begin())) {
    std::fprintf(stderr, "bench_rpc: ReadData(slot %d) does not give back the block (fault %X)\n", o.slot, c.fault());
    return false;
  }
  *readReq = c.requestBytes();
  *readResp = c.responseBytes();
  return true;
}

void PrintRow(const char* op, int conns, std::size_t req, std::size_t resp, const Result& rpc, const Result& echo) {
  std::printf("%-10s %5d %6zu/%-6zu %10.0f %9.0f %9.0f %10.0f %9.0f %9.0f %6.0f%%%s\n", op, conns, req, resp,
              rpc.callsPerSecond, rpc.p50, rpc.p99, echo.callsPerSecond, echo.p50, echo.p99,
              echo.callsPerSecond > 0 ? 100.0 * rpc.callsPerSecond / echo.callsPerSecond : 0.0,
              rpc.errors || echo.errors ? "  (connection errors)" : "");
  std::fflush(stdout);
}

// The key interface with no work behind it: what ReadData stores, it gives back.
class NullHandler : public zemir::KeyRpcHandler {
 public:
  void CloseLibrary() override {}
  std::optional<char> InitLibrary() override { return '\0'; }
  void IsAnyReaderConnected2(std::array<char, zemir::kReaderTextSize>& text) override { text.fill(0); }
  std::int8_t VerifyPIN(const std::string&, const std::string&) override { return 1; }
  std::int8_t ChangePIN(const std::string&, const std::string&, const std::string&) override { return 1; }
  std::int8_t ReadData(const std::string&, std::int32_t, zemir::KeyDataBlock& data, std::int32_t& length) override {
    std::lock_guard<std::mutex> l(mu_);
    std::copy(stored_.begin(), stored_.end(), data.begin());
    length = static_cast<std::int32_t>(stored_.size());
    return 1;
  }
  std::int8_t WriteData(const std::string&, std::int32_t, zemir::KeyDataBlock& data, std::int32_t& length) override {
    // The block arrives under the transport pass; what is kept is the payload after the header.
    std::lock_guard<std::mutex> l(mu_);
    Bytes plain(zemir::kKeyDataSize + 16);
    zemir::DWORD n = static_cast<zemir::DWORD>(plain.size());
    if (length <= 0 || !zemir::decrypt_aes(kTransportPass, data.data(), static_cast<zemir::DWORD>(length), plain.data(), &n) ||
        n < 20)
      return 0;
    stored_.assign(plain.begin() + 20, plain.begin() + n);
    return 1;
  }
  std::int8_t DeleteData(const std::string&, std::int32_t) override { return 1; }
  std::int32_t GetReaderSerialNumber(const std::string&) override { return 1; }
  std::int8_t IsReaderInserted(const std::string&) override { return 1; }

 private:
  std::mutex mu_;
  Bytes stored_;
};

int RunScript() {
  std::string bin = zemir::platform::ModuleDir();
  std::string script = std::string(ZEMIR_BENCH_RPC_SOURCE) + "/run.sh";
  std::fflush(stdout);
  execl("/bin/bash", "bash", script.c_str(), bin.c_str(), static_cast<char*>(nullptr));
  std::perror("bench_rpc: cannot run run.sh");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  bool runtime = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--free-port") {
      std::uint16_t port = 0;
      Socket s = Listen(&port);
      std::printf("%u\n", port);
      return s ? 0 : 1;
    } else if (a == "--runtime") {
      runtime = true;
    } else if (a == "--port") {
      o.port = static_cast<std::uint16_t>(std::atoi(next()));
    } else if (a == "--host") {
      o.host = next();
    } else if (a == "--mode") {
      o.mode = next();
    } else if (a == "--reader") {
      o.reader = next();
    } else if (a == "--pin") {
      o.pin = next();
    } else if (a == "--slot") {
      o.slot = std::atoi(next());
    } else if (a == "--seconds") {
      o.seconds = std::atof(next());
    } else if (a == "--conns") {
      o.conns.clear();
      for (std::string list = next(); !list.empty();) {
        auto comma = list.find(',');
        o.conns.push_back(std::atoi(list.substr(0, comma).c_str()));
        list = comma == std::string::npos ? "" : list.substr(comma + 1);
      }
    } else {
      std::fprintf(stderr, "bench_rpc: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  // In-process server of the runtime alone, on the same terms as the service's.
  NullHandler nullHandler;
  zemir::rpc::RpcServer server;
  std::thread listener;
  if (runtime) {
    o.mode = "runtime-only";
    if (server.RpcServerUseProtseqEp("ncacn_ip_tcp", 10, "0", "127.0.0.1") != zemir::rpc::RPC_S_OK ||
        server.RpcServerRegisterIf2(zemir::MakeKeyRpcInterface(&nullHandler), zemir::rpc::RPC_IF_AUTOLISTEN,
                                    zemir::kKeyRpcMaxCalls, zemir::kKeyRpcMaxRequest, nullptr) != zemir::rpc::RPC_S_OK) {
      std::fprintf(stderr, "bench_rpc: the in-process server does not start\n");
      return 1;
    }
    listener = std::thread([&server] { server.RpcServerListen(1, zemir::rpc::RPC_C_LISTEN_MAX_CALLS_DEFAULT, false); });
    o.port = server.BoundPorts().at(0);
  }
  struct StopServer {
    zemir::rpc::RpcServer& s;
    std::thread& t;
    ~StopServer() {
      if (t.joinable()) {
        s.RpcMgmtStopServerListening();
        t.join();
      }
    }
  } stopServer{server, listener};
  if (o.port == 0) return RunScript();

  std::size_t verifyReq = 0, verifyResp = 0, readReq = 0, readResp = 0;
  if (!Prepare(o, &verifyReq, &verifyResp, &readReq, &readResp)) return 1;
  EchoServer echo;
  if (!echo.Start()) {
    std::fprintf(stderr, "bench_rpc: echo server does not start\n");
    return 1;
  }

  std::printf("key interface on %s:%u, %s mode, reader \"%s\", slot %d, %.1f s per measurement\n", o.host.c_str(),
              o.port, o.mode.c_str(), o.reader.c_str(), o.slot, o.seconds);
  std::printf("%-10s %5s %13s %10s %9s %9s %10s %9s %9s %7s\n", "call", "conns", "bytes out/in", "rpc/s",
              "p50 us", "p99 us", "echo/s", "p50 us", "p99 us", "rpc/echo");
  const Bytes verifyStub = VerifyPinStub(o.reader, o.pin);
  const Bytes readStub = DataStub(o.reader, o.slot, Bytes(), kBlock);
  auto openRpc = [&o]() -> std::unique_ptr<RpcClient> {
    auto c = std::make_unique<RpcClient>();
    return c->Open(o.host, o.port) ? std::move(c) : nullptr;
  };
  auto openEcho = [&echo]() -> std::unique_ptr<EchoClient> {
    auto c = std::make_unique<EchoClient>();
    return c->Open(echo.port()) ? std::move(c) : nullptr;
  };
  double readRatioAt4 = -1;
  struct Op {
    const char* name;
    std::uint16_t opnum;
    const Bytes* stub;
    std::size_t req, resp;
  } ops[] = {{"VerifyPIN", kOpVerifyPin, &verifyStub, verifyReq, verifyResp},
             {"ReadData", kOpReadData, &readStub, readReq, readResp}};
  bool failed = false;
  for (const Op& op : ops) {
    for (int n : o.conns) {
      Result e = Measure<EchoClient>(n, o.seconds, openEcho,
                                     [&op](EchoClient& c) { return c.Exchange(op.req, op.resp); });
      Result r = Measure<RpcClient>(n, o.seconds, openRpc, [&op](RpcClient& c) {
        thread_local Bytes answer;
        return c.Call(op.opnum, *op.stub, answer) && !answer.empty() && answer.back() == 1;
      });
      PrintRow(op.name, n, op.req, op.resp, r, e);
      if (r.errors || r.calls == 0) failed = true;
      if (op.opnum == kOpReadData && n == 4 && e.callsPerSecond > 0) readRatioAt4 = r.callsPerSecond / e.callsPerSecond;
    }
  }
  if (readRatioAt4 >= 0)
    std::printf("ReadData / echo at 4 connections (%s mode): %.0f%% (aim: 70%% or more in library mode)\n",
                o.mode.c_str(), 100.0 * readRatioAt4);
  return failed ? 1 : 0;
}
