// Windows side of the platform layer: Winsock 2, the performance counter and Win32 threads.
#include "platform.h"

#include <cerrno>
#include <cstddef>

int net_startup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data);
}

int net_shutdown() { return WSACleanup(); }

sock_t sock_open(int family, int socktype, int protocol) { return ::socket(family, socktype, protocol); }

void sock_close(sock_t s) { ::closesocket(s); }

void sock_set_nonblocking(sock_t s, bool on) {
  u_long mode = on ? 1 : 0;
  ::ioctlsocket(s, FIONBIO, &mode);
}

void sock_shutdown_both(sock_t s) { ::shutdown(s, SD_BOTH); }

int sock_error() { return WSAGetLastError(); }

int sock_send(sock_t s, const void *buf, int len) {
  return ::send(s, static_cast<const char *>(buf), len, 0);
}

int sock_recv(sock_t s, void *buf, int len) { return ::recv(s, static_cast<char *>(buf), len, 0); }

int sock_recv_discard(sock_t s, void *buf, int len) { return sock_recv(s, buf, len); }

// Winsock's TCP has no SO_RCVLOWAT (setsockopt refuses it): every receive returns what has arrived.
void sock_set_recv_batch(sock_t, int) {}

// SIO_TCP_INFO and TCP_INFO_v0 as documented for mstcpip.h (Windows 10 1703 and later); the mingw-w64
// headers we build with declare neither. Plain fields in their documented order, so the layout is the
// system's own.
#ifndef SIO_TCP_INFO
#define SIO_TCP_INFO _WSAIORW(IOC_VENDOR, 39)
#endif
namespace {
struct tcp_info_v0 {
  int state;  // TCPSTATE
  ULONG mss;
  ULONG64 connection_time_ms;
  BOOLEAN timestamps_enabled;
  ULONG rtt_us;
  ULONG min_rtt_us;
  ULONG bytes_in_flight;  // sent and not yet acknowledged
  ULONG cwnd;
  ULONG snd_wnd;
  ULONG rcv_wnd;
  ULONG rcv_buf;
  ULONG64 bytes_out;  // every byte put on the wire, retransmissions included
  ULONG64 bytes_in;
  ULONG bytes_reordered;
  ULONG bytes_retrans;  // of bytes_out, those sent again
  ULONG fast_retrans;
  ULONG dup_acks_in;
  ULONG timeout_episodes;
  UCHAR syn_retrans;
};
}  // namespace

bool sock_acked(sock_t s, uint64_t sent, uint64_t *acked) {
  // Windows tells what went out, not what still waits in the send buffer: what the peer holds is what
  // went out once (bytes_out less the retransmissions) less what is still in flight. Wine answers the call
  // with WSAEOPNOTSUPP, and so does Windows before 1703: the caller falls back to the accepted count.
  DWORD version = 0;
  tcp_info_v0 info{};
  DWORD got = 0;
  if (WSAIoctl(s, SIO_TCP_INFO, &version, sizeof version, &info, sizeof info, &got, nullptr, nullptr) != 0 ||
      got < offsetof(tcp_info_v0, fast_retrans)) {
    return false;
  }
  const uint64_t out = info.bytes_out;
  const uint64_t not_yet = static_cast<uint64_t>(info.bytes_retrans) + info.bytes_in_flight;
  const uint64_t delivered = out > not_yet ? out - not_yet : 0;
  *acked = delivered < sent ? delivered : sent;
  return true;
}

int sock_set_int(sock_t s, int level, int option, int value) {
  return ::setsockopt(s, level, option, reinterpret_cast<const char *>(&value), sizeof value);
}

// Winsock takes these time limits as a DWORD of milliseconds.
void sock_set_recv_timeout(sock_t s, int ms) { sock_set_int(s, SOL_SOCKET, SO_RCVTIMEO, ms); }
void sock_set_send_timeout(sock_t s, int ms) { sock_set_int(s, SOL_SOCKET, SO_SNDTIMEO, ms); }

void sock_set_hard_close(sock_t s) {
  linger lg{};
  lg.l_onoff = 1;
  lg.l_linger = 0;
  ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&lg), sizeof lg);
}

bool sock_pending_error(sock_t s, int *err) {
  int value = 0;
  int len = sizeof value;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&value), &len) != 0) return false;
  *err = value;
  return true;
}

static timeval timeval_from_ms(int ms) {
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return tv;
}

bool sock_bind_source(sock_t s, const sockaddr *from, int from_len) {
  // Winsock has no way to leave the port to the connect: the bind picks one now.
  return ::bind(s, from, from_len) == 0;
}

ConnectWait sock_wait_connect(sock_t s, int timeout_ms) {
  // Winsock reports a refused non-blocking connect in the exception set, never as writable. Watching only
  // the write set would wait out the whole limit on a port that refused at once and never try the next
  // address, so the exception set is watched as well.
  fd_set writable;
  fd_set failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval tv = timeval_from_ms(timeout_ms);
  const int n = ::select(static_cast<int>(s + 1), nullptr, &writable, &failed, &tv);
  if (n < 0) return ConnectWait::broken;
  if (n == 0) return ConnectWait::pending;
  if (FD_ISSET(s, &failed)) return ConnectWait::failed;
  if (FD_ISSET(s, &writable)) return ConnectWait::ready;
  return ConnectWait::broken;
}

int sock_wait_readable(sock_t s, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval tv = timeval_from_ms(timeout_ms);
  const int n = ::select(static_cast<int>(s + 1), &readable, nullptr, nullptr, &tv);
  return n < 0 ? -1 : (n > 0 ? 1 : 0);
}

void sock_set_listen_reuse(sock_t s) { sock_set_int(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1); }

// The lists mix the C runtime's errno numbers with Winsock's own codes, as a socket layer built on
// either may hand back one or the other.
bool err_is_interrupted(int code) { return code == EINTR || code == WSAEINTR; }

bool err_is_retryable(int code) {
  return code == EINTR || code == EAGAIN || code == EWOULDBLOCK || code == WSAEINTR ||
         code == WSAEWOULDBLOCK || code == WSAETIMEDOUT;
}

bool err_is_in_progress(int code) { return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS; }

bool perf_frequency(int64_t *ticks_per_second) {
  LARGE_INTEGER f;
  if (!QueryPerformanceFrequency(&f)) return false;
  *ticks_per_second = f.QuadPart;
  return true;
}

bool perf_counter(int64_t *ticks) {
  LARGE_INTEGER c;
  if (!QueryPerformanceCounter(&c)) return false;
  *ticks = c.QuadPart;
  return true;
}

uint64_t tick_count_ms() { return GetTickCount64(); }

bool thread_start(thread_t *t, thread_entry entry, void *arg) {
  *t = CreateThread(nullptr, 0, entry, arg, 0, nullptr);
  return *t != nullptr;
}

void thread_wait_release(thread_t t, int timeout_ms) {
  if (timeout_ms > 0) WaitForSingleObject(t, static_cast<DWORD>(timeout_ms));
  CloseHandle(t);
}

void sleep_ms(int ms) { Sleep(static_cast<DWORD>(ms)); }
