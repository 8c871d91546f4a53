#include "fake_server.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kPollMs = 20;                    // every blocking call wakes this often to look at the clock
constexpr int kStopLimitMs = 10000;            // longest wait for the scripts when the server stops
constexpr size_t kRecordCap = 4u << 20;        // recorded bytes per connection
const std::string kBlock(256 * 1024, '\x5a');  // what streams carry

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

sock_t open_listener(const char *address, int backlog, int *port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
  addrinfo *ai = nullptr;
  if (getaddrinfo(address, "0", &hints, &ai) != 0) return KS_INVALID_SOCKET;
  sock_t s = sock_open(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (s == KS_INVALID_SOCKET) {
    freeaddrinfo(ai);
    return KS_INVALID_SOCKET;
  }
  if (::bind(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0 || listen(s, backlog) != 0) {
    sock_close(s);
    freeaddrinfo(ai);
    return KS_INVALID_SOCKET;
  }
  freeaddrinfo(ai);
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
  *port = addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port)
                                     : ntohs(reinterpret_cast<sockaddr_in *>(&addr)->sin_port);
  return s;
}

// A plain blocking connect to 127.0.0.1:port (or [::1]:port), used to wake the acceptor.
sock_t connect_loopback(int port, int family) {
  sock_t s = sock_open(family, SOCK_STREAM, IPPROTO_TCP);
  if (s == KS_INVALID_SOCKET) return s;
  if (family == AF_INET6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  return s;
}

}  // namespace

// --- FakeConn ----------------------------------------------------------------------------------------------

// Receives and records until `more` says enough, the peer closes or resets, the server stops or
// timeout_ms pass; `take` sees each piece. Every receive waits at most kPollMs.
template <typename More, typename Take>
void FakeConn::receive(int timeout_ms, More more, Take take) {
  const auto until = deadline_after(timeout_ms);
  static thread_local char buf[64 * 1024];
  while (more() && !closed() && !server_->stopping() && Clock::now() < until) {
    const int r = sock_recv(sock_, buf, static_cast<int>(std::min(sizeof buf, more())));
    if (r > 0) {
      server_->record(index_, buf, static_cast<size_t>(r));
      take(buf, static_cast<size_t>(r));
    } else if (r == 0) {
      break;
    } else if (!err_is_retryable(sock_error())) {
      saw_reset_ = true;
      server_->resets_.fetch_add(1);
      break;
    }
  }
}

std::string FakeConn::read(size_t n, int timeout_ms) {
  std::string got;
  receive(
      timeout_ms, [&] { return n - got.size(); }, [&](const char *p, size_t k) { got.append(p, k); });
  return got;
}

uint64_t FakeConn::drain(int timeout_ms) {
  uint64_t total = 0;
  receive(
      timeout_ms, [] { return SIZE_MAX; }, [&](const char *, size_t k) { total += k; });
  return total;
}

bool FakeConn::write(const std::string &data) {
  size_t sent = 0;
  while (sent < data.size()) {
    if (closed() || server_->stopping()) return false;
    const int r = sock_send(sock_, data.data() + sent, static_cast<int>(data.size() - sent));
    if (r > 0) {
      sent += static_cast<size_t>(r);
    } else if (r < 0 && !err_is_retryable(sock_error())) {
      return false;
    }
  }
  return true;
}

uint64_t FakeConn::stream(uint64_t bytes_per_second, int timeout_ms) {
  const auto begin = Clock::now();
  const auto until = deadline_after(timeout_ms);
  uint64_t total = 0;
  while (!closed() && !server_->stopping() && Clock::now() < until) {
    size_t chunk = kBlock.size();
    if (bytes_per_second > 0) {
      // Pace against the clock: never ahead of bytes_per_second since the start.
      const double secs = std::chrono::duration<double>(Clock::now() - begin).count();
      const double allowed = secs * static_cast<double>(bytes_per_second) - static_cast<double>(total);
      if (allowed < 1) {
        sleep_ms(2);
        continue;
      }
      chunk = allowed < static_cast<double>(chunk) ? static_cast<size_t>(allowed) : chunk;
    }
    const int r = sock_send(sock_, kBlock.data(), static_cast<int>(chunk));
    if (r > 0) {
      total += static_cast<uint64_t>(r);
    } else if (r < 0 && !err_is_retryable(sock_error())) {
      break;
    }
  }
  return total;
}

void FakeConn::hold(int timeout_ms) {
  // Peek for the peer's close without consuming anything it sends.
  const auto until = deadline_after(timeout_ms);
  while (!closed() && !server_->stopping() && Clock::now() < until) {
    char c;
    const int r = static_cast<int>(::recv(sock_, &c, 1, MSG_PEEK));
    if (r == 0) return;
    if (r > 0) {
      sleep_ms(kPollMs);
    } else if (!err_is_retryable(sock_error())) {
      return;
    }
  }
}

void FakeConn::sleep(int ms) {
  const auto until = deadline_after(ms);
  while (!server_->stopping() && Clock::now() < until) sleep_ms(5);
}

void FakeConn::reset() {
  if (closed()) return;
  sock_set_hard_close(sock_);
  sock_close(sock_);
  sock_ = KS_INVALID_SOCKET;
}

void FakeConn::close() {
  if (closed()) return;
  sock_shutdown_both(sock_);
  sock_close(sock_);
  sock_ = KS_INVALID_SOCKET;
}

// --- FakeServer --------------------------------------------------------------------------------------------

FakeServer::FakeServer(Script script, const char *bind) : script_(std::move(script)) {
  net_startup();
  listen_ = open_listener(bind, 64, &port_);
  if (listen_ != KS_INVALID_SOCKET) acceptor_ = std::thread([this] { accept_loop(); });
}

FakeServer::~FakeServer() {
  if (listen_ != KS_INVALID_SOCKET) {
    stopping_.store(true);
    // Wake the blocking accept with a connection of our own.
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr *>(&addr), &len);
    const sock_t waker = connect_loopback(port_, addr.ss_family);
    acceptor_.join();
    if (waker != KS_INVALID_SOCKET) sock_close(waker);
    sock_close(listen_);
  }
  // Scripts look at stopping() at least every kPollMs, so this wait is short. Their threads still use
  // this object, so it cannot go away before them: a script that never ends is a fault of the test
  // support, and ends the test process loudly instead of hanging it.
  const auto until = deadline_after(kStopLimitMs);
  while (running_.load() > 0) {
    if (Clock::now() > until) {
      std::fprintf(stderr, "fake server: %d script thread(s) still running %d ms after the stop\n",
                   running_.load(), kStopLimitMs);
      std::abort();
    }
    sleep_ms(2);
  }
  net_shutdown();
}

void FakeServer::accept_loop() {
  while (!stopping_.load()) {
    const sock_t c = accept(listen_, nullptr, nullptr);
    if (c == KS_INVALID_SOCKET) {
      if (stopping_.load()) return;
      sleep_ms(1);
      continue;
    }
    if (stopping_.load()) {
      sock_close(c);
      return;
    }
    sock_set_recv_timeout(c, kPollMs);
    sock_set_send_timeout(c, kPollMs);
    const int index = accepted_.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(mu_);
      received_.emplace_back();
    }
    running_.fetch_add(1);
    // Released at once, so a test with a thousand connections does not keep a thousand finished threads;
    // the destructor waits for running_ to reach zero instead of joining. The thread is the platform
    // layer's (CreateThread on Windows), not a detached std::thread: with mingw-w64's thread library under
    // Wine, a std::thread detached as it started now and then ended without running its function (about
    // one run in ten of the thousand-sample ping test: the connection was accepted, its script never
    // began, and the client waited out its reply limit).
    auto *start = new ScriptStart{this, c, index};
    thread_t thread;
    if (thread_start(&thread, script_thread, start)) {
      thread_wait_release(thread, 0);
    } else {
      delete start;
      sock_close(c);
      running_.fetch_sub(1);
    }
  }
}

thread_ret_t KS_THREAD_CALL FakeServer::script_thread(void *arg) {
  const ScriptStart start = *static_cast<ScriptStart *>(arg);
  delete static_cast<ScriptStart *>(arg);
  {
    FakeConn conn(start.server, start.sock, start.index);
    start.server->script_(conn);
    conn.close();
  }
  start.server->running_.fetch_sub(1);
  return 0;
}

void FakeServer::record(int index, const char *data, size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  std::string &r = received_[static_cast<size_t>(index)];
  const size_t room = r.size() < kRecordCap ? kRecordCap - r.size() : 0;
  r.append(data, n < room ? n : room);
}

std::vector<std::string> FakeServer::received() const {
  std::lock_guard<std::mutex> lock(const_cast<std::mutex &>(mu_));
  return received_;
}

void FakeServer::wait_idle(int timeout_ms) {
  const auto until = deadline_after(timeout_ms);
  while (running_.load() > 0 && Clock::now() < until) sleep_ms(5);
}

// --- scripts -----------------------------------------------------------------------------------------------

namespace fake {

namespace {
// Serves one connection the normal way once its command byte has been read.
void serve(FakeConn &c, char command) {
  switch (command) {
    case 'P': {
      const std::string stamp = c.read(8);
      if (stamp.size() == 8) c.write(stamp);
      c.hold(3000);
      break;
    }
    case 'D':
      c.stream(0);
      break;
    case 'U':
      c.drain();
      break;
    default:
      break;
  }
}
}  // namespace

Script normal() {
  return [](FakeConn &c) {
    const std::string cmd = c.read(1);
    if (!cmd.empty()) serve(c, cmd[0]);
  };
}

Script ping_in_pieces(size_t first) {
  return [first](FakeConn &c) {
    const std::string probe = c.read(9);
    if (probe.size() != 9) return;
    c.write(probe.substr(1, first));
    c.sleep(30);
    c.write(probe.substr(1 + first));
    c.hold(3000);
  };
}

Script close_at_once() {
  return [](FakeConn &c) { c.read(1); };
}

Script silent() {
  return [](FakeConn &c) {
    const std::string cmd = c.read(1);
    if (cmd == "P") c.read(8);
    c.hold();
  };
}

Script ping_delays(std::vector<int> delays_ms) {
  return [delays_ms](FakeConn &c) {
    const std::string probe = c.read(9);
    if (probe.size() != 9) return;
    const size_t i = static_cast<size_t>(c.index());
    if (i < delays_ms.size()) c.sleep(delays_ms[i]);
    c.write(probe.substr(1));
    c.hold(3000);
  };
}

Script fail_on(int n, Script failing) {
  Script ok = normal();
  return [n, failing, ok](FakeConn &c) { (c.index() + 1 == n ? failing : ok)(c); };
}

Script throttled(uint64_t bytes_per_second) {
  return [bytes_per_second](FakeConn &c) {
    if (c.read(1) == "D") c.stream(bytes_per_second);
  };
}

Script reset_after(uint64_t bytes) {
  return [bytes](FakeConn &c) {
    const std::string cmd = c.read(1);
    if (cmd == "D") {
      std::string chunk(static_cast<size_t>(bytes), 'x');
      c.write(chunk);
    } else if (cmd == "U") {
      c.read(static_cast<size_t>(bytes));
    }
    c.sleep(20);
    c.reset();
  };
}

Script stop_reading() {
  return [](FakeConn &c) {
    c.read(1);
    c.sleep(10000);
  };
}

}  // namespace fake

// --- helpers
// -------------------------------------------------------------------------------------------------

SilentListener::SilentListener() {
  net_startup();
  listen_ = open_listener("127.0.0.1", 0, &port_);
  if (listen_ == KS_INVALID_SOCKET) return;
  // Fill the accept queue; once it is full the kernel drops further SYNs, so a connect gets no answer.
  for (int i = 0; i < 4; ++i) {
    sock_t s = sock_open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == KS_INVALID_SOCKET) continue;
    sock_set_nonblocking(s, true);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
    fillers_.push_back(s);
  }
  sleep_ms(50);
  ok_ = true;
}

SilentListener::~SilentListener() {
  for (sock_t s : fillers_) sock_close(s);
  if (listen_ != KS_INVALID_SOCKET) sock_close(listen_);
  net_shutdown();
}

int unused_port() {
  net_startup();
  int port = 0;
  const sock_t s = open_listener("127.0.0.1", 1, &port);
  if (s != KS_INVALID_SOCKET) sock_close(s);
  net_shutdown();
  return port;
}

std::string expected_upload_payload() {
  std::string out(65536, '\0');
  uint32_t x = 0x12345678u;
  for (char &byte : out) {
    x = x * 1664525u + 1013904223u;
    byte = static_cast<char>((x >> 8) & 0xFF);
  }
  return out;
}
