#include "transport.h"

#include <cstdio>

#include "kestrum_internal.h"

double now_us() {
  int64_t freq = 0;
  int64_t count = 0;
  if (perf_frequency(&freq) && freq != 0 && perf_counter(&count)) {
    return static_cast<double>(count) * 1000000.0 / static_cast<double>(freq);
  }
  return static_cast<double>(tick_count_ms()) * 1000.0;
}

// Connection set-up: blocking again, commands leave at once, buffers large enough for bulk transfer.
static void tune_connected(sock_t s) {
  sock_set_nonblocking(s, false);
  sock_set_int(s, IPPROTO_TCP, TCP_NODELAY, 1);
  sock_set_int(s, SOL_SOCKET, SO_SNDBUF, 1 << 20);
  sock_set_int(s, SOL_SOCKET, SO_RCVBUF, 1 << 20);
}

sock_t connect_timeout(const char *host, int port, int limit_ms) {
  char service[16];
  std::snprintf(service, sizeof service, "%d", port);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo *list = nullptr;
  if (getaddrinfo(host, service, &hints, &list) != 0) {
    set_last_error(kErrDns);
    return KS_INVALID_SOCKET;
  }

  // Every address gets the whole limit; refusals move on to the next address, but the first address that
  // stays silent for the whole limit ends the walk.
  for (addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
    sock_t s = sock_open(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == KS_INVALID_SOCKET) continue;
    sock_set_nonblocking(s, true);

    if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
      if (!err_is_in_progress(sock_error())) {
        sock_close(s);
        continue;
      }
      const ConnectWait waited = sock_wait_connect(s, limit_ms);
      if (waited == ConnectWait::timeout) {
        char msg[256];
        std::snprintf(msg, sizeof msg, "Connect timeout after %d ms to %s:%d", limit_ms, host, port);
        set_last_error(msg);
        sock_close(s);
        freeaddrinfo(list);
        return KS_INVALID_SOCKET;
      }
      int pending = 0;
      if (waited == ConnectWait::failed || !sock_pending_error(s, &pending) || pending != 0) {
        sock_close(s);
        continue;
      }
    }
    tune_connected(s);
    freeaddrinfo(list);
    return s;
  }

  if (list != nullptr) freeaddrinfo(list);
  char msg[256];
  std::snprintf(msg, sizeof msg, "Connect failed to %s:%d", host, port);
  set_last_error(msg);
  return KS_INVALID_SOCKET;
}

void close_fd(sock_t s) {
  if (cancel_requested()) sock_set_hard_close(s);
  sock_shutdown_both(s);
  sock_close(s);
}

void build_ping_probe(unsigned char out[kPingProbeSize], double clock_us) {
  uint64_t stamp = static_cast<uint64_t>(clock_us);
  out[0] = static_cast<unsigned char>(kCmdPing);
  for (int i = 1; i < kPingProbeSize; ++i) {
    out[i] = static_cast<unsigned char>(stamp & 0xFF);
    stamp >>= 8;
  }
}
