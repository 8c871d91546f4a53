/*
 * bench-loadgen: hostile clients for bench/server-load, on loopback only.
 *
 *     bench-loadgen idle PORT FROM COUNT   holds COUNT silent connections to 127.0.0.1:PORT, spread over
 *                                          the addresses of FROM in turn, and opens each again as soon as
 *                                          the server closes it; prints "ready N" once all are open
 *     bench-loadgen flood PORT FROM        connects and closes as fast as it can from FROM (every other
 *                                          close a reset); prints the rate when it stops
 *
 * FROM is a loopback address (127.0.0.2) or a range of the last byte (127.0.1.1-50). Both run until
 * SIGTERM or SIGINT, and at most 600 s; every connect and every wait is bounded. The connections are the
 * network kit's (connect_address from the source address, 1 s limit, ended by the stop signal), on its
 * clock. Built with the project (bench/CMakeLists.txt).
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
      (std::strcmp(argv[1], "flood") == 0 && argc != 4)) {
    std::fprintf(stderr, "usage: bench-loadgen idle PORT FROM COUNT | flood PORT FROM\n");
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
