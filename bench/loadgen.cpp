/*
 * bench-loadgen: hostile clients for bench/server-load, on loopback only.
 *
 *     bench-loadgen idle PORT FROM COUNT   holds COUNT silent connections to 127.0.0.1:PORT, spread over
 *                                          the addresses of FROM in turn, and opens each again as soon as
 *                                          the server closes it; prints "ready N" once all are open
 *     bench-loadgen flood PORT FROM        connects and closes as fast as it can from FROM (every other
 *                                          close a reset); prints the rate when it stops
 *     bench-loadgen streams PORT FROM PER KIND RATE
 *                                          holds PER streams from each address of FROM, downloads (KIND D)
 *                                          read or uploads (U) sent at RATE bytes/s each (0: nothing,
 *                                          "full": as fast as it can), each opened again at once when it
 *                                          ends; prints, when it stops, what crossed the network: bytes
 *                                          this host's TCP received (downloads) or had acknowledged
 *                                          (uploads), per second
 *
 * FROM is a loopback address (127.0.0.2) or a range of the last byte (127.0.1.1-50). Both run until
 * SIGTERM or SIGINT, and at most 600 s; every connect and every wait is bounded. The connections are the
 * network kit's (connect_address from the source address, 1 s limit, ended by the stop signal), on its
 * clock. Built with the project (bench/CMakeLists.txt).
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "transport.h"

namespace {

StopFlag g_stop{false};  // raised by SIGTERM or SIGINT; lock-free, so a signal handler may raise it
void on_signal(int) { g_stop.store(true, std::memory_order_relaxed); }
bool stopping() { return g_stop.load(std::memory_order_relaxed); }

double now_s() { return now_us() / 1e6; }

int g_port;

// A blocking connection from `from` (network order) with 1 s limits; -1 when it cannot be made. The kit
// leaves the port to the connect, per destination, so a flood does not run out of ports.
int dial(uint32_t from) {
  sockaddr_in src = {};
  src.sin_family = AF_INET;
  src.sin_addr.s_addr = from;
  sockaddr_in dst = {};
  dst.sin_family = AF_INET;
  dst.sin_port = htons(static_cast<unsigned short>(g_port));
  dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sock_t s = KS_INVALID_SOCKET;
  if (connect_address(reinterpret_cast<sockaddr *>(&dst), sizeof dst, reinterpret_cast<sockaddr *>(&src),
                      sizeof src, 1000, &g_stop, &s) != ConnectResult::ok) {
    return -1;
  }
  sock_set_send_timeout(s, 1000);
  sock_set_recv_timeout(s, 1000);
  return s;
}

// The addresses of FROM, in network order; their count, 0 when FROM is not a loopback address or range.
int parse_from(const char *text, uint32_t *out, int max) {
  unsigned a, b, c, d, e = 0;
  const int n = std::sscanf(text, "%u.%u.%u.%u-%u", &a, &b, &c, &d, &e);
  if (n < 4 || a != 127 || b > 255 || c > 255 || d > 255 || d == 0) return 0;
  if (n == 4) e = d;
  if (e < d || e > 255 || static_cast<int>(e - d + 1) > max) return 0;
  for (unsigned x = d; x <= e; ++x) out[x - d] = htonl((a << 24) | (b << 16) | (c << 8) | x);
  return static_cast<int>(e - d + 1);
}

// The kernel's struct tcp_info as far as its byte counts, laid out as linux/tcp.h has it; the glibc copy
// that the platform layer includes ends before them, and the two headers cannot be included together.
struct TcpInfoBytes {
  uint8_t head[8];
  uint32_t fields[24];
  uint64_t pacing_rate, max_pacing_rate, bytes_acked, bytes_received;
};
static_assert(offsetof(TcpInfoBytes, bytes_acked) == 120,
              "tcpi_bytes_acked sits at byte 120 of struct tcp_info");

// What crossed the network on s: what this host received (a download) or had acknowledged (an upload).
unsigned long long network_bytes(int s, char kind) {
  TcpInfoBytes info = {};
  socklen_t len = sizeof info;
  if (getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 || len < sizeof info) return 0;
  return kind == 'D' ? info.bytes_received : info.bytes_acked;
}

// One attacking stream of `streams`: from `from`, kind D or U at rate bytes/s (0 nothing, < 0 as fast as
// it can), opened again at once whenever it ends, until the stop or `end`.
struct Attacker {
  uint32_t from = 0;
  char kind = 'D';
  double rate = 0;
  double end = 0;
  unsigned long long opened = 0, bytes = 0;
};

void attack(Attacker *a) {
  std::vector<char> buf(1 << 20, 'u');
  while (!stopping() && now_s() < a->end) {
    const int s = dial(a->from);
    if (s < 0) {
      usleep(1000);
      continue;
    }
    a->opened++;
    if (send(s, &a->kind, 1, MSG_NOSIGNAL) == 1) {
      const double start = now_s();
      double moved = 0;
      while (!stopping() && now_s() < a->end) {
        const double due = a->rate < 0 ? 1e18 : a->rate * (now_s() - start);
        const double want = std::min(static_cast<double>(buf.size()), due - moved);
        if (want >= 1) {
          const size_t n_want = static_cast<size_t>(want);
          const ssize_t n = a->kind == 'D' ? recv(s, buf.data(), n_want, a->rate < 0 ? MSG_TRUNC : 0)
                                           : send(s, buf.data(), n_want, MSG_NOSIGNAL);
          if (n > 0) moved += static_cast<double>(n);
          if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
        }
        // The server's end, a reset or a close, whether or not this side is moving anything.
        pollfd p = {s, POLLRDHUP, 0};
        if (poll(&p, 1, a->rate < 0 ? 0 : 10) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
          break;
      }
    }
    a->bytes += network_bytes(s, a->kind);
    sock_set_hard_close(s);
    sock_close(s);
  }
}

// Watches connection i for the server's close.
bool watch(int ep, int fd, int i) {
  epoll_event ev = {};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.u32 = static_cast<uint32_t>(i);
  return epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4 || (std::strcmp(argv[1], "idle") == 0 && argc != 5) ||
      (std::strcmp(argv[1], "flood") == 0 && argc != 4) ||
      (std::strcmp(argv[1], "streams") == 0 && argc != 7)) {
    std::fprintf(
        stderr,
        "usage: bench-loadgen idle PORT FROM COUNT | flood PORT FROM | streams PORT FROM PER KIND RATE\n");
    return 2;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  rlimit lim;
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  g_port = std::atoi(argv[2]);
  uint32_t from[256];
  const int sources = parse_from(argv[3], from, 256);
  if (g_port <= 0 || g_port > 65535 || sources == 0) {
    std::fprintf(stderr, "bench-loadgen: bad port or FROM (a 127.x.y.z address or range)\n");
    return 2;
  }
  const double end = now_s() + 600;

  if (std::strcmp(argv[1], "flood") == 0) {
    const double start = now_s();
    unsigned long long done = 0, failed = 0;
    while (!stopping() && now_s() < end) {
      const int s = dial(from[0]);
      if (s < 0) {
        ++failed;
        usleep(1000);
        continue;
      }
      // Every other one a bare reset: SO_LINGER {on, 0} and close, without an end of stream first.
      if (done % 2 == 0) sock_set_hard_close(s);
      sock_close(s);
      ++done;
    }
    std::printf("flood %llu connect-and-close in %.1f s (%.0f/s), %llu failed\n", done, now_s() - start,
                static_cast<double>(done) / (now_s() - start), failed);
    return 0;
  }

  if (std::strcmp(argv[1], "streams") == 0) {
    const int per = std::atoi(argv[4]);
    const char kind = argv[5][0];
    const double rate = std::strcmp(argv[6], "full") == 0 ? -1 : std::atof(argv[6]);
    if (per <= 0 || per > 16 || (kind != 'D' && kind != 'U') || argv[5][1] != 0 || rate > 1e9) {
      std::fprintf(stderr, "bench-loadgen: streams takes PER 1 to 16, KIND D or U, RATE bytes/s or full\n");
      return 2;
    }
    std::vector<Attacker> attackers(static_cast<size_t>(sources * per));
    std::vector<std::thread> threads;
    const double start = now_s();
    for (size_t i = 0; i < attackers.size(); ++i) {
      attackers[i].from = from[i / static_cast<size_t>(per)];
      attackers[i].kind = kind;
      attackers[i].rate = rate;
      attackers[i].end = end;
      threads.emplace_back(attack, &attackers[i]);
    }
    unsigned long long opened = 0, bytes = 0;
    for (size_t i = 0; i < threads.size(); ++i) {
      threads[i].join();
      opened += attackers[i].opened;
      bytes += attackers[i].bytes;
    }
    const double took = now_s() - start;
    std::printf(
        "streams %zu from %d sources, opened %llu times; network %llu bytes in %.1f s: %.0f bytes/s\n",
        attackers.size(), sources, opened, bytes, took, static_cast<double>(bytes) / took);
    return 0;
  }

  const int count = std::atoi(argv[4]);
  if (count <= 0 || count > 100000) {
    std::fprintf(stderr, "bench-loadgen: COUNT from 1 to 100000\n");
    return 2;
  }
  // epoll, so that watching thousands of silent connections costs this side nothing between events and
  // the figures measure the server rather than the load generator.
  std::vector<int> fds(static_cast<size_t>(count), -1);
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) return 1;
  int open = 0;
  unsigned long long renewed = 0;
  for (int i = 0; i < count && !stopping(); ++i) {
    fds[static_cast<size_t>(i)] = dial(from[i % sources]);
    if (fds[static_cast<size_t>(i)] >= 0 && watch(ep, fds[static_cast<size_t>(i)], i)) ++open;
  }
  std::printf("ready %d\n", open);
  epoll_event got[256];
  double retry_at = now_s() + 0.05;
  while (!stopping() && now_s() < end) {
    const int n = epoll_wait(ep, got, 256, 50);
    if (n < 0 && errno != EINTR) break;
    for (int k = 0; k < n && !stopping(); ++k) {
      const int i = static_cast<int>(got[k].data.u32);
      int &fd = fds[static_cast<size_t>(i)];
      if (fd >= 0) close(fd);  // closing also takes it out of the epoll set
      fd = dial(from[i % sources]);
      if (fd >= 0 && watch(ep, fd, i)) ++renewed;
    }
    // Slots whose connect failed are tried again now and then.
    if (now_s() >= retry_at) {
      for (int i = 0; i < count && !stopping(); ++i) {
        int &fd = fds[static_cast<size_t>(i)];
        if (fd >= 0) continue;
        fd = dial(from[i % sources]);
        if (fd >= 0) watch(ep, fd, i);
      }
      retry_at = now_s() + 0.05;
    }
  }
  for (int fd : fds) {
    if (fd >= 0) close(fd);
  }
  close(ep);
  std::printf("idle: %llu connections opened again after the server closed them\n", renewed);
  return 0;
}
