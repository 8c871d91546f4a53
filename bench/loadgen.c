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
 * SIGTERM or SIGINT, and at most 600 s; every connect and every wait is bounded.
 */
#include <arpa/inet.h>
#include <errno.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static volatile sig_atomic_t stop;
static void on_signal(int sig) {
  (void)sig;
  stop = 1;
}

static double now_s(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int port;

/* A blocking connection from `from` (network order) with 1 s limits; -1 when it cannot be made. */
static int dial(uint32_t from) {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  struct timeval tv = {1, 0};
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  const int one = 1;
  /* The port is chosen at connect time, per destination, so a flood does not run out of ports. */
  setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  struct sockaddr_in src = {0};
  src.sin_family = AF_INET;
  src.sin_addr.s_addr = from;
  struct sockaddr_in dst = {0};
  dst.sin_family = AF_INET;
  dst.sin_port = htons((unsigned short)port);
  dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(s, (struct sockaddr *)&src, sizeof src) != 0 ||
      connect(s, (struct sockaddr *)&dst, sizeof dst) != 0) {
    close(s);
    return -1;
  }
  return s;
}

/* One attacking stream of `streams`: its address, what it does, and what it moved. */
struct attacker {
  uint32_t from;
  char kind;
  double rate; /* bytes/s; 0 nothing; < 0 full speed */
  double end;
  unsigned long long opened, network_bytes;
};

/* What crossed the network on s: received (a download) or acknowledged (an upload). */
static unsigned long long network_bytes(int s, char kind) {
  struct tcp_info info;
  socklen_t len = sizeof info;
  memset(&info, 0, sizeof info);
  if (getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return 0;
  return kind == 'D' ? (unsigned long long)info.tcpi_bytes_received
                     : (unsigned long long)info.tcpi_bytes_acked;
}

static void *attack(void *arg) {
  struct attacker *a = arg;
  enum { kBuf = 1 << 20 };
  char *buf = malloc(kBuf);
  if (buf == NULL) return NULL;
  while (!stop && now_s() < a->end) {
    const int s = dial(a->from);
    if (s < 0) {
      usleep(1000);
      continue;
    }
    a->opened++;
    if (send(s, &a->kind, 1, MSG_NOSIGNAL) == 1) {
      const double start = now_s();
      double moved = 0;
      while (!stop && now_s() < a->end) {
        const double due = a->rate < 0 ? 1e18 : a->rate * (now_s() - start);
        double want = due - moved;
        if (want > (double)kBuf) want = kBuf;
        if (want >= 1) {
          const ssize_t n = a->kind == 'D' ? recv(s, buf, (size_t)want, a->rate < 0 ? MSG_TRUNC : 0)
                                           : send(s, buf, (size_t)want, MSG_NOSIGNAL);
          if (n > 0) moved += (double)n;
          if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
        }
        struct pollfd p = {s, POLLRDHUP, 0};
        if (poll(&p, 1, a->rate < 0 ? 0 : 10) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) break;
      }
    }
    a->network_bytes += network_bytes(s, a->kind);
    struct linger lg = {1, 0};
    setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(s);
  }
  free(buf);
  return NULL;
}

/* The addresses of FROM, in network order; their count, 0 when FROM is not a loopback address or range. */
static int parse_from(const char *text, uint32_t *out, int max) {
  unsigned a, b, c, d, e = 0;
  const int n = sscanf(text, "%u.%u.%u.%u-%u", &a, &b, &c, &d, &e);
  if (n < 4 || a != 127 || b > 255 || c > 255 || d > 255 || d == 0) return 0;
  if (n == 4) e = d;
  if (e < d || e > 255 || (int)(e - d + 1) > max) return 0;
  for (unsigned x = d; x <= e; ++x) out[x - d] = htonl((a << 24) | (b << 16) | (c << 8) | x);
  return (int)(e - d + 1);
}

int main(int argc, char **argv) {
  if (argc < 4 || (strcmp(argv[1], "idle") == 0 && argc != 5) ||
      (strcmp(argv[1], "flood") == 0 && argc != 4) || (strcmp(argv[1], "streams") == 0 && argc != 7)) {
    fprintf(
        stderr,
        "usage: bench-loadgen idle PORT FROM COUNT | flood PORT FROM | streams PORT FROM PER KIND RATE\n");
    return 2;
  }
  struct sigaction sa = {0};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);
  signal(SIGPIPE, SIG_IGN);
  struct rlimit lim;
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
  setvbuf(stdout, NULL, _IOLBF, 0);

  port = atoi(argv[2]);
  uint32_t from[256];
  const int sources = parse_from(argv[3], from, 256);
  if (port <= 0 || port > 65535 || sources == 0) {
    fprintf(stderr, "bench-loadgen: bad port or FROM (a 127.x.y.z address or range)\n");
    return 2;
  }
  const double end = now_s() + 600;

  if (strcmp(argv[1], "flood") == 0) {
    const double start = now_s();
    unsigned long long done = 0, failed = 0;
    while (!stop && now_s() < end) {
      const int s = dial(from[0]);
      if (s < 0) {
        ++failed;
        usleep(1000);
        continue;
      }
      if (done % 2 == 0) {
        struct linger lg = {1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
      }
      close(s);
      ++done;
    }
    printf("flood %llu connect-and-close in %.1f s (%.0f/s), %llu failed\n", done, now_s() - start,
           (double)done / (now_s() - start), failed);
    return 0;
  }

  if (strcmp(argv[1], "streams") == 0) {
    const int per = atoi(argv[4]);
    const char kind = argv[5][0];
    const double rate = strcmp(argv[6], "full") == 0 ? -1 : atof(argv[6]);
    if (per <= 0 || per > 16 || (kind != 'D' && kind != 'U') || argv[5][1] != 0 || rate > 1e9) {
      fprintf(stderr, "bench-loadgen: streams takes PER 1 to 16, KIND D or U, RATE bytes/s or full\n");
      return 2;
    }
    struct attacker a[256 * 16];
    pthread_t threads[256 * 16];
    const int n = sources * per;
    const double start = now_s();
    for (int i = 0; i < n; ++i) {
      a[i] = (struct attacker){from[i / per], kind, rate, end, 0, 0};
      if (pthread_create(&threads[i], NULL, attack, &a[i]) != 0) return 1;
    }
    unsigned long long opened = 0, bytes = 0;
    for (int i = 0; i < n; ++i) {
      pthread_join(threads[i], NULL);
      opened += a[i].opened;
      bytes += a[i].network_bytes;
    }
    const double took = now_s() - start;
    printf("streams %d from %d sources, opened %llu times; network %llu bytes in %.1f s: %.0f bytes/s\n", n,
           sources, opened, bytes, took, (double)bytes / took);
    return 0;
  }

  const int count = atoi(argv[4]);
  if (count <= 0 || count > 100000) {
    fprintf(stderr, "bench-loadgen: COUNT from 1 to 100000\n");
    return 2;
  }
  /* epoll, so that watching thousands of silent connections costs this side nothing between events and
   the figures measure the server rather than the load generator. */
  int *fds = calloc((size_t)count, sizeof *fds);
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  if (fds == NULL || ep < 0) return 1;
  int open = 0;
  unsigned long long renewed = 0;
  for (int i = 0; i < count; ++i) fds[i] = -1;
  for (int i = 0; i < count && !stop; ++i) {
    fds[i] = dial(from[i % sources]);
    struct epoll_event ev = {.events = EPOLLIN | EPOLLRDHUP, .data.u32 = (uint32_t)i};
    if (fds[i] >= 0 && epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev) == 0) ++open;
  }
  printf("ready %d\n", open);
  struct epoll_event got[256];
  double retry_at = now_s() + 0.05;
  while (!stop && now_s() < end) {
    const int n = epoll_wait(ep, got, 256, 50);
    if (n < 0 && errno != EINTR) break;
    for (int k = 0; k < n && !stop; ++k) {
      const int i = (int)got[k].data.u32;
      if (fds[i] >= 0) close(fds[i]); /* closing also takes it out of the epoll set */
      fds[i] = dial(from[i % sources]);
      struct epoll_event ev = {.events = EPOLLIN | EPOLLRDHUP, .data.u32 = (uint32_t)i};
      if (fds[i] >= 0 && epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev) == 0) ++renewed;
    }
    /* Slots whose connect failed are tried again now and then. */
    if (now_s() >= retry_at) {
      for (int i = 0; i < count && !stop; ++i) {
        if (fds[i] >= 0) continue;
        fds[i] = dial(from[i % sources]);
        struct epoll_event ev = {.events = EPOLLIN | EPOLLRDHUP, .data.u32 = (uint32_t)i};
        if (fds[i] >= 0) epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
      }
      retry_at = now_s() + 0.05;
    }
  }
  for (int i = 0; i < count; ++i) {
    if (fds[i] >= 0) close(fds[i]);
  }
  close(ep);
  free(fds);
  printf("idle: %llu connections opened again after the server closed them\n", renewed);
  return 0;
}
