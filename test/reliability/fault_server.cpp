#include "fault_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace rel {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kSliceMs = 20;      // the longest any call of a connection thread blocks
constexpr int kConnCapMs = 8000;  // no connection thread outlives this, whatever the client does
constexpr int kBlockBytes = 256 * 1024;

const std::vector<char> &block() {
  static const std::vector<char> b(kBlockBytes, '\x6b');
  return b;
}

int listen_loopback(int backlog, int *port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(s, backlog) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    ::close(s);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return s;
}

void set_slices(int fd) {
  timeval tv{};
  tv.tv_usec = kSliceMs * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool retryable(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINTR; }

// One accepted connection and the bounded primitives its fault is played with.
class Conn {
 public:
  Conn(int fd, const std::atomic<bool> &stopping, uint64_t seed)
      : fd_(fd), stopping_(stopping), rng_(seed), deadline_(Clock::now() + milliseconds(kConnCapMs)) {}
  ~Conn() { close_orderly(); }

  std::mt19937_64 &rng() { return rng_; }
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  bool alive() const { return fd_ >= 0 && !stopping_.load() && Clock::now() < deadline_; }

  // Up to n bytes in receives of at most `piece` bytes; stops early when the peer goes. Returns the bytes.
  std::string read(size_t n, int piece = 65536, int pause_ms = 0) {
    std::string got;
    std::vector<char> buf(static_cast<size_t>(piece));
    while (got.size() < n && alive()) {
      const size_t want = n - got.size() < buf.size() ? n - got.size() : buf.size();
      const ssize_t r = ::recv(fd_, buf.data(), want, 0);
      if (r > 0) {
        got.append(buf.data(), static_cast<size_t>(r));
        if (pause_ms > 0) pause(pause_ms);
      } else if (r == 0 || !retryable(errno)) {
        gone_ = true;
        break;
      }
    }
    return got;
  }

  // Reads and drops until the peer goes or `limit` bytes have come.
  uint64_t drain(uint64_t limit, int piece, int pause_ms) {
    uint64_t total = 0;
    std::vector<char> buf(static_cast<size_t>(piece));
    while (total < limit && alive() && !gone_) {
      const uint64_t left = limit - total;
      const size_t want = left < buf.size() ? static_cast<size_t>(left) : buf.size();
      const ssize_t r = ::recv(fd_, buf.data(), want, 0);
      if (r > 0) {
        total += static_cast<uint64_t>(r);
        if (pause_ms > 0) pause(pause_ms);
      } else if (r == 0 || !retryable(errno)) {
        gone_ = true;
      }
    }
    return total;
  }

  bool write(const char *p, size_t n) {
    while (n > 0 && alive() && !gone_) {
      const ssize_t r = ::send(fd_, p, n, MSG_NOSIGNAL);
      if (r > 0) {
        p += r;
        n -= static_cast<size_t>(r);
      } else if (r < 0 && !retryable(errno)) {
        gone_ = true;
      }
    }
    return n == 0;
  }

  // Sends until the peer goes or `limit` bytes are out: pieces of up to `piece` bytes, a pause after each;
  // with bytes_per_second above 0, paced so as never to run ahead of that rate.
  uint64_t stream(uint64_t limit, int piece, int pause_ms, uint64_t bytes_per_second) {
    const auto begin = Clock::now();
    uint64_t total = 0;
    while (total < limit && alive() && !gone_) {
      size_t chunk = static_cast<size_t>(piece);
      if (limit - total < chunk) chunk = static_cast<size_t>(limit - total);
      if (bytes_per_second > 0) {
        const double secs = std::chrono::duration<double>(Clock::now() - begin).count();
        const double allowed = secs * static_cast<double>(bytes_per_second) - static_cast<double>(total);
        if (allowed < 1) {
          pause(5);
          if (peer_gone()) break;
          continue;
        }
        if (allowed < static_cast<double>(chunk)) chunk = static_cast<size_t>(allowed);
      }
      const ssize_t r = ::send(fd_, block().data(), chunk, MSG_NOSIGNAL);
      if (r > 0) {
        total += static_cast<uint64_t>(r);
        if (pause_ms > 0) pause(pause_ms);
      } else if (r < 0 && !retryable(errno)) {
        gone_ = true;
      }
    }
    return total;
  }

  // Neither reads nor writes until the peer has closed or reset (seen without consuming its data).
  void hold() {
    while (alive() && !peer_gone()) {
      pollfd p{fd_, POLLRDHUP, 0};
      ::poll(&p, 1, kSliceMs);
    }
  }

  void pause(int ms) {
    const auto until = Clock::now() + milliseconds(ms);
    while (alive() && Clock::now() < until) std::this_thread::sleep_for(milliseconds(ms < 5 ? ms : 5));
  }

  bool peer_gone() {
    if (gone_) return true;
    pollfd p{fd_, POLLRDHUP, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) gone_ = true;
    return gone_;
  }

  void reset() {
    if (fd_ < 0) return;
    linger lg{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::close(fd_);
    fd_ = -1;
  }

  void close_orderly() {
    if (fd_ < 0) return;
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  const std::atomic<bool> &stopping_;
  std::mt19937_64 rng_;
  Clock::time_point deadline_;
  bool gone_ = false;
};

// Faults drawn after the command byte, per command. A ping that gets no reply costs the client its whole
// 2 s reply limit, so a silent ping is rare (about one ping connection in 400; "stop reading" is the same
// thing for a ping and is left out); the transfers get the silent faults often, as they cost nothing
// beyond the planned duration there.
struct Weighted {
  Fault fault;
  int ping_weight;
  int transfer_weight;
};
constexpr Weighted kAfterCommand[] = {
    {Fault::normal, 180, 30}, {Fault::hang, 1, 10},       {Fault::close_now, 48, 10},
    {Fault::pieces, 60, 12},  {Fault::reset_mid, 48, 16}, {Fault::stop_reading, 0, 10},
    {Fault::trickle, 48, 12},
};
constexpr int kResetNowPercent = 8;

Fault draw_after_command(Conn &c, bool ping) {
  int total = 0;
  for (const Weighted &w : kAfterCommand) total += ping ? w.ping_weight : w.transfer_weight;
  int x = c.pick(0, total - 1);
  for (const Weighted &w : kAfterCommand) {
    x -= ping ? w.ping_weight : w.transfer_weight;
    if (x < 0) return w.fault;
  }
  return Fault::normal;
}

void play_ping(Conn &c, Fault f) {
  switch (f) {
    case Fault::normal: {
      const std::string stamp = c.read(8);
      if (stamp.size() == 8) c.write(stamp.data(), 8);
      c.hold();
      break;
    }
    case Fault::hang:
      c.read(8);
      c.hold();
      break;
    case Fault::close_now:
    case Fault::reset_now:
      break;
    case Fault::pieces: {
      const std::string stamp = c.read(8, 3);
      for (size_t at = 0; at < stamp.size() && c.alive();) {
        const size_t n = static_cast<size_t>(c.pick(1, 3));
        const size_t take = n < stamp.size() - at ? n : stamp.size() - at;
        c.write(stamp.data() + at, take);
        at += take;
        c.pause(c.pick(0, 5));
      }
      c.hold();
      break;
    }
    case Fault::reset_mid: {
      const std::string stamp = c.read(8);
      const size_t part = static_cast<size_t>(c.pick(0, 7));
      c.write(stamp.data(), part < stamp.size() ? part : stamp.size());
      c.pause(c.pick(0, 5));
      c.reset();
      break;
    }
    case Fault::stop_reading:
      c.hold();
      break;
    case Fault::trickle: {
      const std::string stamp = c.read(8);
      for (char byte : stamp) {
        c.pause(c.pick(1, 8));
        if (!c.write(&byte, 1)) break;
      }
      c.hold();
      break;
    }
  }
}

void play_transfer(Conn &c, Fault f, bool download) {
  const uint64_t kNoLimit = ~0ull;
  switch (f) {
    case Fault::normal:
      if (download)
        c.stream(kNoLimit, kBlockBytes, 0, 0);
      else
        c.drain(kNoLimit, 256 * 1024, 0);
      break;
    case Fault::hang:
      c.hold();
      break;
    case Fault::close_now:
    case Fault::reset_now:
      break;
    case Fault::pieces:
      if (download)
        c.stream(kNoLimit, c.pick(1, 3000), c.pick(0, 3), 0);
      else
        c.drain(kNoLimit, c.pick(1, 4096), c.pick(0, 2));
      break;
    case Fault::reset_mid: {
      const uint64_t limit = static_cast<uint64_t>(c.pick(0, 4 << 20));
      if (download)
        c.stream(limit, kBlockBytes, 0, 0);
      else
        c.drain(limit, 256 * 1024, 0);
      c.reset();
      break;
    }
    case Fault::stop_reading:
      // An upload's sends fill the buffers and then time out; a download stalls after a first burst.
      if (download) c.stream(static_cast<uint64_t>(c.pick(0, 1 << 20)), kBlockBytes, 0, 0);
      c.hold();
      break;
    case Fault::trickle:
      if (download)
        c.stream(kNoLimit, 1024, 0, static_cast<uint64_t>(c.pick(4000, 32000)));
      else
        c.drain(kNoLimit, 512, 20);
      break;
  }
}

}  // namespace

const char *fault_name(Fault f) {
  switch (f) {
    case Fault::normal:
      return "normal";
    case Fault::reset_now:
      return "reset at once";
    case Fault::hang:
      return "accept and hang";
    case Fault::close_now:
      return "close at once";
    case Fault::pieces:
      return "in pieces";
    case Fault::reset_mid:
      return "reset mid-stream";
    case Fault::stop_reading:
      return "stop reading";
    case Fault::trickle:
      return "slow trickle";
  }
  return "?";
}

FaultServer::FaultServer(uint64_t seed) : seed_(seed) {
  faulty_fd_ = listen_loopback(SOMAXCONN, &faulty_port_);
  clean_fd_ = listen_loopback(SOMAXCONN, &clean_port_);
  // A listener that never accepts, its queue filled by our own attempts: the kernel then drops further
  // SYNs, and a client's connection attempt runs into its time limit.
  unanswered_fd_ = listen_loopback(0, &unanswered_port_);
  if (faulty_fd_ < 0 || clean_fd_ < 0 || unanswered_fd_ < 0) return;
  for (int &f : filler_fds_) {
    f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(unanswered_port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (f >= 0) ::connect(f, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  std::this_thread::sleep_for(milliseconds(50));
  acceptors_ = 2;
  std::thread([this] { accept_loop(faulty_fd_, true); }).detach();
  std::thread([this] { accept_loop(clean_fd_, false); }).detach();
  ok_ = true;
}

FaultServer::~FaultServer() {
  stop();
  for (int f : {faulty_fd_, clean_fd_, unanswered_fd_}) {
    if (f >= 0) ::close(f);
  }
  for (int f : filler_fds_) {
    if (f >= 0) ::close(f);
  }
}

void FaultServer::stop() {
  stopping_ = true;
  // Acceptors poll in slices and connection threads are capped: both waits are bounded.
  const auto until = Clock::now() + milliseconds(kConnCapMs + 2000);
  while ((acceptors_.load() > 0 || running_.load() > 0) && Clock::now() < until) {
    std::this_thread::sleep_for(milliseconds(5));
  }
}

FaultCounts FaultServer::counts() const {
  FaultCounts c;
  for (int i = 0; i < kFaultKinds; ++i) c.by_kind[i] = by_kind_[i].load();
  c.clean = clean_.load();
  c.no_command = no_command_.load();
  return c;
}

void FaultServer::accept_loop(int listener, bool faulty) {
  while (!stopping_.load()) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, kSliceMs) != 1) continue;
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    // Every connection gets its own generator, derived from the seed and its number, so the faults of a
    // run follow from the seed.
    const uint64_t conn_seed = seed_ * 0x9e3779b97f4a7c15ull + next_conn_.fetch_add(1);
    running_++;
    std::thread([this, fd, faulty, conn_seed] {
      serve(fd, faulty, conn_seed);
      running_--;
    }).detach();
  }
  acceptors_--;
}

void FaultServer::serve(int fd, bool faulty, uint64_t conn_seed) {
  set_slices(fd);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  Conn c(fd, stopping_, conn_seed);
  if (faulty && c.pick(0, 99) < kResetNowPercent) {
    by_kind_[static_cast<int>(Fault::reset_now)]++;
    c.reset();
    return;
  }
  const std::string cmd = c.read(1);
  if (cmd.empty()) {
    no_command_++;
    return;
  }
  const bool ping = cmd[0] == 'P';
  const Fault f = faulty ? draw_after_command(c, ping) : Fault::normal;
  if (faulty)
    by_kind_[static_cast<int>(f)]++;
  else
    clean_++;
  if (ping)
    play_ping(c, f);
  else if (cmd[0] == 'D' || cmd[0] == 'U')
    play_transfer(c, f, cmd[0] == 'D');
}

// --- the child process ------------------------------------------------------------------------------------

namespace {

bool read_line(int fd, std::string *line, int timeout_ms) {
  const auto until = Clock::now() + milliseconds(timeout_ms);
  line->clear();
  while (Clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) != 1) continue;
    char ch;
    const ssize_t r = ::read(fd, &ch, 1);
    if (r <= 0) return false;
    if (ch == '\n') return true;
    line->push_back(ch);
  }
  return false;
}

int free_loopback_port() {
  int port = 0;
  const int s = listen_loopback(1, &port);
  if (s >= 0) ::close(s);
  return port;
}

[[noreturn]] void run_child(uint64_t seed, int control_fd, int report_fd) {
  const int refused = free_loopback_port();
  FaultServer server(seed);
  if (!server.ok()) _exit(3);
  const std::string ports = std::to_string(server.faulty_port()) + " " + std::to_string(server.clean_port()) +
                            " " + std::to_string(server.unanswered_port()) + " " + std::to_string(refused) +
                            "\n";
  if (::write(report_fd, ports.data(), ports.size()) < 0) _exit(4);
  // Until the parent closes its end, or goes away.
  char ch;
  while (::read(control_fd, &ch, 1) > 0) {
  }
  server.stop();
  const FaultCounts c = server.counts();
  std::string out;
  for (uint64_t n : c.by_kind) out += std::to_string(n) + " ";
  out += std::to_string(c.clean) + " " + std::to_string(c.no_command) + "\n";
  if (::write(report_fd, out.data(), out.size()) < 0) _exit(5);
  _exit(0);
}

}  // namespace

FaultServerProcess::FaultServerProcess(uint64_t seed) {
  int control[2];
  int report[2];
  if (::pipe2(control, O_CLOEXEC) != 0) return;
  if (::pipe2(report, O_CLOEXEC) != 0) {
    ::close(control[0]);
    ::close(control[1]);
    return;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(control[1]);
    ::close(report[0]);
    run_child(seed, control[0], report[1]);
  }
  ::close(control[0]);
  ::close(report[1]);
  control_fd_ = control[1];
  report_fd_ = report[0];
  if (pid < 0) return;
  pid_ = pid;
  std::string line;
  if (!read_line(report_fd_, &line, 10000)) return;
  ok_ = std::sscanf(line.c_str(), "%d %d %d %d", &ports_[0], &ports_[1], &ports_[2], &ports_[3]) == 4;
}

FaultCounts FaultServerProcess::finish() {
  FaultCounts c;
  if (control_fd_ >= 0) {
    ::close(control_fd_);
    control_fd_ = -1;
  }
  std::string line;
  if (report_fd_ >= 0 && read_line(report_fd_, &line, kConnCapMs + 5000)) {
    unsigned long long v[kFaultKinds + 2] = {};
    const char *p = line.c_str();
    for (unsigned long long &x : v) {
      char *end = nullptr;
      x = std::strtoull(p, &end, 10);
      p = end;
    }
    for (int i = 0; i < kFaultKinds; ++i) c.by_kind[i] = v[i];
    c.clean = v[kFaultKinds];
    c.no_command = v[kFaultKinds + 1];
  }
  if (pid_ > 0) {
    // Bounded: the child has stopped serving by now, or is killed.
    int status = 0;
    bool reaped = false;
    for (int i = 0; i < 200 && !reaped; ++i) {
      reaped = ::waitpid(pid_, &status, WNOHANG) == pid_;
      if (!reaped) std::this_thread::sleep_for(milliseconds(10));
    }
    if (!reaped) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (report_fd_ >= 0) {
    ::close(report_fd_);
    report_fd_ = -1;
  }
  return c;
}

FaultServerProcess::~FaultServerProcess() {
  if (pid_ > 0 || control_fd_ >= 0) finish();
}

}  // namespace rel
