// Linux side of the server's platform layer: epoll, accept4, TCP_INFO and RLIMIT_NOFILE.
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "server_platform.h"

struct Poller {
  int fd;
};

Poller *poller_open() {
  const int fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) return nullptr;
  return new Poller{fd};
}

void poller_close(Poller *p) {
  if (p == nullptr) return;
  ::close(p->fd);
  delete p;
}

bool poller_add(Poller *p, sock_t s, uint64_t tag) {
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = tag;
  return ::epoll_ctl(p->fd, EPOLL_CTL_ADD, s, &ev) == 0;
}

void poller_remove(Poller *p, sock_t s) {
  epoll_event ev{};  // ignored, but kernels before 2.6.9 wanted one
  ::epoll_ctl(p->fd, EPOLL_CTL_DEL, s, &ev);
}

void poller_forget(Poller *, sock_t) {
  // Nothing to do: the server never duplicates a descriptor, so its close is the last reference to the
  // socket and the kernel drops it from the epoll set there and then.
}

int poller_wait(Poller *p, PollEvent *events, int max, int timeout_ms) {
  constexpr int kBatch = 256;
  epoll_event got[kBatch];
  const int n = ::epoll_wait(p->fd, got, max < kBatch ? max : kBatch, timeout_ms);
  for (int i = 0; i < n; ++i) {
    events[i].tag = got[i].data.u64;
    events[i].readable = (got[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
    events[i].hangup = (got[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
  }
  return n;
}

sock_t sock_accept_nonblocking(sock_t listener, sockaddr_storage *addr, socklen_t *len) {
  *len = sizeof *addr;
  return ::accept4(listener, reinterpret_cast<sockaddr *>(addr), len, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

bool sock_set_congestion(sock_t s, const std::string &algorithm, std::string *why) {
  if (::setsockopt(s, IPPROTO_TCP, TCP_CONGESTION, algorithm.data(),
                   static_cast<socklen_t>(algorithm.size())) == 0) {
    return true;
  }
  *why = std::strerror(errno);
  return false;
}

namespace {

// The kernel's struct tcp_info as far as tcpi_snd_wnd, laid out as linux/tcp.h has it since 5.4. glibc's
// netinet/tcp.h, which the platform layer includes, ends its copy earlier, and the two headers cannot be
// included together.
struct KernelTcpInfo {
  uint8_t state, ca_state, retransmits, probes, backoff, options, wscale, rate_flags;
  uint32_t rto, ato, snd_mss, rcv_mss;
  uint32_t unacked, sacked, lost, retrans, fackets;
  uint32_t last_data_sent, last_ack_sent, last_data_recv, last_ack_recv;
  uint32_t pmtu, rcv_ssthresh, rtt, rttvar, snd_ssthresh, snd_cwnd, advmss, reordering;
  uint32_t rcv_rtt, rcv_space, total_retrans;
  uint64_t pacing_rate, max_pacing_rate, bytes_acked, bytes_received;
  uint32_t segs_out, segs_in, notsent_bytes, min_rtt, data_segs_in, data_segs_out;
  uint64_t delivery_rate, busy_time, rwnd_limited, sndbuf_limited;
  uint32_t delivered, delivered_ce;
  uint64_t bytes_sent, bytes_retrans;
  uint32_t dsack_dups, reord_seen, rcv_ooopack, snd_wnd;
};
static_assert(offsetof(KernelTcpInfo, snd_wnd) == 228, "tcpi_snd_wnd sits at byte 228 of struct tcp_info");

}  // namespace

bool sock_peer_window(sock_t s, uint64_t *window) {
  KernelTcpInfo info{};
  socklen_t len = sizeof info;
  // An older kernel fills less and says so in len: then the window is not known.
  if (::getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 || len < sizeof info) return false;
  *window = info.snd_wnd;
  return true;
}

bool err_is_out_of_files(int code) {
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

long raise_open_files_limit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  if (lim.rlim_cur < lim.rlim_max) {
    rlimit want = lim;
    want.rlim_cur = lim.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &want) == 0) lim = want;
  }
  return lim.rlim_cur == RLIM_INFINITY ? 1L << 20 : static_cast<long>(lim.rlim_cur);
}

long open_files_limit() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
  return lim.rlim_cur == RLIM_INFINITY ? 1L << 20 : static_cast<long>(lim.rlim_cur);
}
