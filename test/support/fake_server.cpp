#include "fake_server.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

constexpr int kPollMs = 20;                    // every blocking call wakes this often to look at the clock
constexpr int kStopLimitMs = 10000;            // longest wait for the scripts when the server stops
constexpr size_t kRecordCap = 4u << 20;        // recorded bytes per connection
const std::string kBlock(256 * 1024, '\x5a');  // what streams carry

using Clock = std::chrono::steady_clock;

Clock::time_point deadline_after(int ms) { return Clock::now() + std::chrono::milliseconds(ms); }

}  // namespace

// --- FakeConn ----------------------------------------------------------------------------------------------

FakeConn::FakeConn(FakeServer *server, sock_t sock, int index, int cap_ms)
    : server_(server),
      sock_(sock),
      index_(index),
      cap_(cap_ms > 0 ? deadline_after(cap_ms) : Clock::time_point::max()) {}

bool FakeConn::live() const { return !closed() && !server_->stopping() && Clock::now() < cap_; }

// Receives and records until `more` says enough, the peer closes or resets, the server stops or
// timeout_ms pass; `take` sees each piece. Every receive waits at most kPollMs.
template <typename More, typename Take>
void FakeConn::receive(int timeout_ms, int pause_ms, More more, Take take) {
  const auto until = deadline_after(timeout_ms);
  static thread_local char buf[64 * 1024];
  while (more() > 0 && live() && Clock::now() < until) {
    const int r = sock_recv(sock_, buf, static_cast<int>(std::min(sizeof buf, more())));
    if (r > 0) {
      server_->record(index_, buf, static_cast<size_t>(r));
      take(buf, static_cast<size_t>(r));
      if (pause_ms > 0) sleep(pause_ms);
    } else if (r == 0) {
      break;
    } else if (!err_is_retryable(sock_error())) {
      saw_reset_ = true;
      server_->resets_.fetch_add(1);
      break;
    }
  }
}

std::string FakeConn::read(size_t n, int timeout_ms, Pace pace) {
  std::string got;
  receive(
      timeout_ms, pace.pause_ms, [&] { return std::min(n - got.size(), pace.piece); },
      [&](const char *p, size_t k) { got.append(p, k); });
  return got;
}

uint64_t FakeConn::drain(int timeout_ms, uint64_t limit, Pace pace) {
  uint64_t total = 0;
  receive(
      timeout_ms, pace.pause_ms,
      [&] { return static_cast<size_t>(std::min<uint64_t>(limit - total, pace.piece)); },
      [&](const char *, size_t k) { total += k; });
  return total;
}

bool FakeConn::write(const std::string &data) {
  size_t sent = 0;
  while (sent < data.size()) {
    if (!live()) return false;
    const int r = sock_send(sock_, data.data() + sent, static_cast<int>(data.size() - sent));
    if (r > 0) {
      sent += static_cast<size_t>(r);
    } else if (r < 0 && !err_is_retryable(sock_error())) {
      return false;
    }
  }
  return true;
}

uint64_t FakeConn::stream(uint64_t bytes_per_second, int timeout_ms, uint64_t limit, Pace pace) {
  const auto begin = Clock::now();
  const auto until = deadline_after(timeout_ms);
  const size_t piece = std::min(pace.piece, kBlock.size());
  uint64_t total = 0;
  while (total < limit && live() && Clock::now() < until) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(piece, limit - total));
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
      if (pace.pause_ms > 0) sleep(pace.pause_ms);
    } else if (r < 0 && !err_is_retryable(sock_error())) {
      break;
    }
  }
  return total;
}

void FakeConn::hold(int timeout_ms) {
  // Peek for the peer's close without consuming anything it sends.
  const auto until = deadline_after(timeout_ms);
  while (live() && Clock::now() < until) {
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
  while (!server_->stopping() && Clock::now() < until && Clock::now() < cap_) sleep_ms(ms < 5 ? ms : 5);
}

void FakeConn::reset() {
  if (closed()) return;
  hard_close(sock_);
  sock_ = KS_INVALID_SOCKET;
}

void FakeConn::close() {
  if (closed()) return;
  orderly_close(sock_);
  sock_ = KS_INVALID_SOCKET;
}

// --- FakeServer --------------------------------------------------------------------------------------------

FakeServer::FakeServer(Script script, const char *bind)
    : FakeServer(std::move(script), [bind] {
        FakeServerOptions o;
        o.bind = bind;
        return o;
      }()) {}

FakeServer::FakeServer(Script script, const FakeServerOptions &options)
    : script_(std::move(script)), options_(options) {
  net_startup();
  listen_ = listen_loopback(options_.bind, 64, &port_);
  if (listen_ != KS_INVALID_SOCKET) acceptor_ = std::thread([this] { accept_loop(); });
}

FakeServer::~FakeServer() {
  stop();
  net_shutdown();
}

void FakeServer::stop() {
  if (stopped_) return;
  stopped_ = true;
  stopping_.store(true);
  if (listen_ != KS_INVALID_SOCKET) {
    // Wake the blocking accept with a connection of our own.
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr *>(&addr), &len);
    const sock_t waker = connect_loopback(port_, addr.ss_family);
    acceptor_.join();
    if (waker != KS_INVALID_SOCKET) sock_close(waker);
    sock_close(listen_);
    listen_ = KS_INVALID_SOCKET;
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
    // Small pieces leave as they are written, not gathered behind an unacknowledged one.
    sock_set_int(c, IPPROTO_TCP, TCP_NODELAY, 1);
    const int index = accepted_.fetch_add(1);
    {
      std::lock_guard<std::mutex> lock(mu_);
      received_.emplace_back();
    }
    running_.fetch_add(1);
    // Released at once, so a test with a thousand connections does not keep a thousand finished threads;
    // stop() waits for running_ to reach zero instead of joining. The thread is the platform layer's
    // (CreateThread on Windows), not a detached std::thread: with mingw-w64's thread library under Wine,
    // a std::thread detached as it started now and then ended without running its function (about one run
    // in ten of the thousand-sample ping test: the connection was accepted, its script never began, and
    // the client waited out its reply limit).
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
    FakeConn conn(start.server, start.sock, start.index, start.server->options_.conn_cap_ms);
    start.server->script_(conn);
    conn.close();
  }
  start.server->running_.fetch_sub(1);
  return 0;
}

void FakeServer::record(int index, const char *data, size_t n) {
  if (!options_.record) return;
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

// --- faults ------------------------------------------------------------------------------------------------

const char *fault_name(Fault f) {
  switch (f) {
    case Fault::normal:
      return "normal";
    case Fault::reset_at_once:
      return "reset at once";
    case Fault::close_at_once:
      return "close at once";
    case Fault::silent:
      return "silent";
    case Fault::pieces:
      return "in pieces";
    case Fault::reset_after:
      return "reset after";
    case Fault::stop_reading:
      return "stop reading";
    case Fault::throttled:
      return "throttled";
  }
  return "?";
}

namespace {

// A ping: the 8 bytes after the command, and what the fault makes of the reply.
void play_ping(FakeConn &c, const FaultPlay &p) {
  switch (p.fault) {
    case Fault::normal: {
      const std::string stamp = c.read(8);
      if (stamp.size() == 8) c.write(stamp);
      c.hold(3000);
      break;
    }
    case Fault::silent:
      c.read(8);
      c.hold();
      break;
    case Fault::pieces: {
      const std::string stamp = c.read(8, 3000, p.pace);
      for (size_t at = 0; at < stamp.size();) {
        if (at > 0) c.sleep(p.pace.pause_ms);
        if (!c.write(stamp.substr(at, p.pace.piece))) break;
        at += p.pace.piece;
      }
      c.hold(3000);
      break;
    }
    case Fault::reset_after: {
      const std::string stamp = c.read(8);
      c.write(stamp.substr(0, static_cast<size_t>(std::min<uint64_t>(p.bytes, stamp.size()))));
      c.sleep(p.reset_pause_ms);
      c.reset();
      break;
    }
    case Fault::stop_reading:
      c.hold();
      break;
    case Fault::throttled: {
      const std::string stamp = c.read(8);
      for (char byte : stamp) {
        c.sleep(p.pace.pause_ms);
        if (!c.write(std::string(1, byte))) break;
      }
      c.hold(3000);
      break;
    }
    case Fault::reset_at_once:
    case Fault::close_at_once:
      break;
  }
}

// A download ('D', download) or an upload ('U').
void play_transfer(FakeConn &c, const FaultPlay &p, bool download) {
  switch (p.fault) {
    case Fault::normal:
      if (download)
        c.stream(0);
      else
        c.drain();
      break;
    case Fault::silent:
      c.hold();
      break;
    case Fault::pieces:
    case Fault::throttled:
      if (download)
        c.stream(p.rate, 10000, kNoLimit, p.pace);
      else
        c.drain(10000, kNoLimit, p.pace);
      break;
    case Fault::reset_after:
      if (download)
        c.stream(0, 10000, p.bytes);
      else
        c.drain(10000, p.bytes);
      c.sleep(p.reset_pause_ms);
      c.reset();
      break;
    case Fault::stop_reading:
      // An upload's sends fill the buffers and then time out; a download stalls after its first burst.
      if (download && p.bytes > 0) c.stream(0, 10000, p.bytes);
      c.hold();
      break;
    case Fault::reset_at_once:
    case Fault::close_at_once:
      break;
  }
}

}  // namespace

void play_fault(FakeConn &c, char command, const FaultPlay &play) {
  if (play.fault == Fault::reset_at_once) {
    c.reset();
  } else if (command == 'P') {
    play_ping(c, play);
  } else if (command == 'D' || command == 'U') {
    play_transfer(c, play, command == 'D');
  }
}

FaultCounts FaultTally::counts() const {
  FaultCounts c;
  for (int i = 0; i < kFaultKinds; ++i) c.by_kind[i] = by_kind_[i].load();
  c.clean = clean_.load();
  c.no_command = no_command_.load();
  return c;
}

// --- scripts -----------------------------------------------------------------------------------------------

namespace fake {

Script play(FaultPlay p) {
  return [p](FakeConn &c) {
    if (p.fault == Fault::reset_at_once) {
      c.reset();
      return;
    }
    const std::string cmd = c.read(1);
    if (!cmd.empty()) play_fault(c, cmd[0], p);
  };
}

namespace {
FaultPlay fault(Fault f) {
  FaultPlay p;
  p.fault = f;
  return p;
}
}  // namespace

Script normal() { return play(fault(Fault::normal)); }
Script reset_at_once() { return play(fault(Fault::reset_at_once)); }
Script close_at_once() { return play(fault(Fault::close_at_once)); }
Script silent() { return play(fault(Fault::silent)); }

Script pieces(size_t piece, int pause_ms) {
  FaultPlay p = fault(Fault::pieces);
  p.pace = {piece, pause_ms};
  return play(p);
}

Script reset_after(uint64_t bytes) {
  FaultPlay p = fault(Fault::reset_after);
  p.bytes = bytes;
  return play(p);
}

Script stop_reading() { return play(fault(Fault::stop_reading)); }

Script throttled(uint64_t bytes_per_second) {
  FaultPlay p = fault(Fault::throttled);
  p.rate = bytes_per_second;
  p.pace = {256 * 1024, 0};
  return play(p);
}

Script throttled_reply(int pause_ms) {
  FaultPlay p = fault(Fault::throttled);
  p.pace = {1, pause_ms};
  return play(p);
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

Script counted(FaultTally *tally) {
  return [tally](FakeConn &c) {
    const std::string cmd = c.read(1);
    if (cmd.empty()) {
      tally->add_no_command();
      return;
    }
    tally->add_clean();
    play_fault(c, cmd[0], fault(Fault::normal));
  };
}

namespace {

// How often each fault is drawn once the command has come, for a ping and for a transfer. A ping that
// gets no reply costs the client its whole 2 s reply limit, so a silent ping is rare (about one ping
// connection in 400; "stop reading" is the same thing for a ping and is left out); the transfers get the
// silent faults often, as they cost nothing beyond the planned duration there.
struct Weighted {
  Fault fault;
  int ping_weight;
  int transfer_weight;
};
constexpr Weighted kAfterCommand[] = {
    {Fault::normal, 180, 30},   {Fault::silent, 1, 10},       {Fault::close_at_once, 48, 10},
    {Fault::pieces, 60, 12},    {Fault::reset_after, 48, 16}, {Fault::stop_reading, 0, 10},
    {Fault::throttled, 48, 12},
};
constexpr int kResetAtOncePercent = 8;

// The fault and how it is played, drawn for one connection.
FaultPlay draw(std::mt19937_64 &rng, char command) {
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const bool ping = command == 'P';
  int total = 0;
  for (const Weighted &w : kAfterCommand) total += ping ? w.ping_weight : w.transfer_weight;
  FaultPlay p;
  int x = pick(0, total - 1);
  for (const Weighted &w : kAfterCommand) {
    x -= ping ? w.ping_weight : w.transfer_weight;
    if (x < 0) {
      p.fault = w.fault;
      break;
    }
  }
  switch (p.fault) {
    case Fault::pieces:
      p.pace = ping             ? Pace{static_cast<size_t>(pick(1, 3)), pick(0, 5)}
               : command == 'D' ? Pace{static_cast<size_t>(pick(1, 3000)), pick(0, 3)}
                                : Pace{static_cast<size_t>(pick(1, 4096)), pick(0, 2)};
      break;
    case Fault::reset_after:
      p.bytes = static_cast<uint64_t>(ping ? pick(0, 7) : pick(0, 4 << 20));
      p.reset_pause_ms = pick(0, 5);
      break;
    case Fault::stop_reading:
      p.bytes = static_cast<uint64_t>(pick(0, 1 << 20));
      break;
    case Fault::throttled:
      p.pace = ping ? Pace{1, pick(1, 8)} : command == 'D' ? Pace{1024, 0} : Pace{512, 20};
      p.rate = static_cast<uint64_t>(pick(4000, 32000));
      break;
    default:
      break;
  }
  return p;
}

}  // namespace

Script random_faults(uint64_t seed, FaultTally *tally) {
  return [seed, tally](FakeConn &c) {
    std::mt19937_64 rng(seed * 0x9e3779b97f4a7c15ull + static_cast<uint64_t>(c.index()));
    if (std::uniform_int_distribution<int>(0, 99)(rng) < kResetAtOncePercent) {
      tally->add(Fault::reset_at_once);
      c.reset();
      return;
    }
    const std::string cmd = c.read(1);
    if (cmd.empty()) {
      tally->add_no_command();
      return;
    }
    const FaultPlay p = draw(rng, cmd[0]);
    tally->add(p.fault);
    play_fault(c, cmd[0], p);
  };
}

}  // namespace fake

std::string expected_upload_payload() {
  std::string out(65536, '\0');
  uint32_t x = 0x12345678u;
  for (char &byte : out) {
    x = x * 1664525u + 1013904223u;
    byte = static_cast<char>((x >> 8) & 0xFF);
  }
  return out;
}
