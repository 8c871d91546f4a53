// Linux side of the platform layer: BSD sockets, poll, clock_gettime(CLOCK_MONOTONIC) and pthreads, as
// Linux with glibc provides them.
#include "platform.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <ctime>

int net_startup() { return 0; }
int net_shutdown() { return 0; }

sock_t sock_open(int family, int socktype, int protocol) {
  // Close-on-exec: a host that starts another program must not hand it our connections.
  return ::socket(family, socktype | SOCK_CLOEXEC, protocol);
}

void sock_close(sock_t s) { ::close(s); }

void sock_set_nonblocking(sock_t s, bool on) {
  int flags = ::fcntl(s, F_GETFL, 0);
  if (flags < 0) return;
  ::fcntl(s, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
}

void sock_shutdown_both(sock_t s) { ::shutdown(s, SHUT_RDWR); }

int sock_error() { return errno; }

int sock_send(sock_t s, const void *buf, int len) {
  // A send to a reset peer must fail, not kill the host with SIGPIPE.
  return static_cast<int>(::send(s, buf, static_cast<size_t>(len), MSG_NOSIGNAL));
}

int sock_recv(sock_t s, void *buf, int len) {
  return static_cast<int>(::recv(s, buf, static_cast<size_t>(len), 0));
}

int sock_recv_discard(sock_t s, void *buf, int len) {
  // With MSG_TRUNC a TCP receive drops the bytes in the kernel and still returns how many it took, so a
  // download costs no copy into user space; buf is not written.
  return static_cast<int>(::recv(s, buf, static_cast<size_t>(len), MSG_TRUNC));
}

void sock_set_recv_batch(sock_t s, int bytes) { sock_set_int(s, SOL_SOCKET, SO_RCVLOWAT, bytes); }

bool sock_acked(sock_t s, uint64_t sent, uint64_t *acked) {
  // SIOCOUTQ on a TCP socket is everything written and not yet acknowledged cumulatively: bytes still
  // waiting to go out and bytes in flight alike. After a loss the cumulative acknowledgement stands still
  // for a round trip (a quarter of a second behind a full queue on a slow link) while the peer keeps
  // acknowledging what follows the hole selectively; those bytes have arrived, so they count too
  // (TCP_INFO's SACKed segments, full segments in a bulk stream).
  int unacked = 0;
  if (::ioctl(s, SIOCOUTQ, &unacked) != 0 || unacked < 0) return false;
  uint64_t queued = static_cast<uint64_t>(unacked);
  tcp_info info{};
  socklen_t len = sizeof info;
  if (::getsockopt(s, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && len >= offsetof(tcp_info, tcpi_rcv_rtt)) {
    const uint64_t sacked = static_cast<uint64_t>(info.tcpi_sacked) * info.tcpi_snd_mss;
    queued = sacked < queued ? queued - sacked : 0;
  }
  *acked = queued < sent ? sent - queued : 0;
  return true;
}

int sock_set_int(sock_t s, int level, int option, int value) {
  return ::setsockopt(s, level, option, &value, sizeof value);
}

static void set_timeout(sock_t s, int option, int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  ::setsockopt(s, SOL_SOCKET, option, &tv, sizeof tv);
}
void sock_set_recv_timeout(sock_t s, int ms) { set_timeout(s, SO_RCVTIMEO, ms); }
void sock_set_send_timeout(sock_t s, int ms) { set_timeout(s, SO_SNDTIMEO, ms); }

void sock_set_hard_close(sock_t s) {
  linger lg{};
  lg.l_onoff = 1;
  lg.l_linger = 0;
  ::setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
}

bool sock_pending_error(sock_t s, int *err) {
  int value = 0;
  socklen_t len = sizeof value;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &value, &len) != 0) return false;
  *err = value;
  return true;
}

static int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool sock_bind_source(sock_t s, const sockaddr *from, int from_len) {
  sock_set_int(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1);
  return ::bind(s, from, static_cast<socklen_t>(from_len)) == 0;
}

ConnectWait sock_wait_connect(sock_t s, int timeout_ms) {
  // poll, not select: select cannot watch a descriptor at or above FD_SETSIZE, and a host with many open
  // files would have its stack overwritten.
  pollfd p{};
  p.fd = s;
  p.events = POLLOUT;
  const int n = ::poll(&p, 1, timeout_ms);
  if (n < 0) return errno == EINTR ? ConnectWait::pending : ConnectWait::broken;
  if (n == 0) return ConnectWait::pending;
  // A refused attempt comes back as POLLERR/POLLHUP (usually with POLLOUT): the pending error decides.
  if (p.revents & (POLLOUT | POLLERR | POLLHUP)) return ConnectWait::ready;
  return ConnectWait::broken;  // POLLNVAL: not a socket of ours
}

int sock_wait_readable(sock_t s, int timeout_ms) {
  pollfd p{};
  p.fd = s;
  p.events = POLLIN;
  const int n = ::poll(&p, 1, timeout_ms);
  if (n < 0) return errno == EINTR ? 0 : -1;
  if (n == 0) return 0;
  return (p.revents & POLLNVAL) ? -1 : 1;
}

void sock_set_listen_reuse(sock_t s) { sock_set_int(s, SOL_SOCKET, SO_REUSEADDR, 1); }

bool err_is_interrupted(int code) { return code == EINTR; }

bool err_is_retryable(int code) {
  // An expired SO_RCVTIMEO / SO_SNDTIMEO comes back as EAGAIN / EWOULDBLOCK here. ETIMEDOUT on Linux means
  // the connection itself has died (retransmissions or keep-alive gave up), so it is not retried.
  return code == EINTR || code == EAGAIN || code == EWOULDBLOCK;
}

// EAGAIN from a TCP connect means no local port was free, a real failure, so only EINPROGRESS counts.
bool err_is_in_progress(int code) { return code == EINPROGRESS; }

bool perf_frequency(int64_t *ticks_per_second) {
  *ticks_per_second = 1000000000;  // the counter below counts nanoseconds
  return true;
}

bool perf_counter(int64_t *ticks) {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return false;
  *ticks = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  return true;
}

uint64_t tick_count_ms() { return static_cast<uint64_t>(monotonic_ms()); }

bool thread_start(thread_t *t, thread_entry entry, void *arg) {
  return pthread_create(t, nullptr, entry, arg) == 0;
}

void thread_wait_release(thread_t t, int timeout_ms) {
  // The bound is kept on the monotonic clock: pthread_timedjoin_np takes a wall-clock deadline, which an
  // NTP step or a hand-set clock moves. pthread_clockjoin_np would take a monotonic one, but the thread
  // sanitizer does not know it and then sees every monitor thread as never joined; a join tried every
  // millisecond is known to it, and a monitor asked to stop ends within one 5 ms slice anyway.
  if (timeout_ms > 0) {
    const int64_t deadline = monotonic_ms() + timeout_ms;
    for (;;) {
      if (pthread_tryjoin_np(t, nullptr) == 0) return;
      if (monotonic_ms() >= deadline) break;
      sleep_ms(1);
    }
  }
  pthread_detach(t);
}

void sleep_ms(int ms) {
  timespec ts{};
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
