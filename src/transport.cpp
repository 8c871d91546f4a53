#include "transport.h"

#include <cstdio>
#include <cstring>

namespace {

bool stopped(const StopFlag *stop) { return stop != nullptr && stop->load(std::memory_order_relaxed); }

// One wait's share of the time left to a deadline: at most kStopPollMs, so the stop flag is looked at
// again soon, and at least 1 ms, so a wait never spins.
int slice_ms(double left_us) {
  const double ms = left_us / 1000;
  if (ms >= kStopPollMs) return kStopPollMs;
  return ms > 1 ? static_cast<int>(ms + 0.999) : 1;
}

// Waits for the connect in progress on s until deadline_us, in slices that look at *stop.
ConnectResult await_connect(sock_t s, double deadline_us, const StopFlag *stop) {
  for (;;) {
    if (stopped(stop)) return ConnectResult::cancelled;
    const double left = deadline_us - now_us();
    if (left <= 0) return ConnectResult::timed_out;
    switch (sock_wait_connect(s, slice_ms(left))) {
      case ConnectWait::ready: {
        int pending = 0;
        return sock_pending_error(s, &pending) && pending == 0 ? ConnectResult::ok : ConnectResult::refused;
      }
      case ConnectWait::failed:
        return ConnectResult::refused;
      case ConnectWait::pending:
        break;
      case ConnectWait::broken:
        return ConnectResult::timed_out;  // as the limit's end: the attempt cannot be watched any more
    }
  }
}

// Connects the socket the caller opened; on ok it is blocking again.
ConnectResult connect_socket(sock_t s, const sockaddr *to, int to_len, int limit_ms, const StopFlag *stop) {
  if (stopped(stop)) return ConnectResult::cancelled;
  sock_set_nonblocking(s, true);
  const double deadline = now_us() + limit_ms * 1000.0;
  ConnectResult r = ConnectResult::ok;
  if (::connect(s, to, static_cast<socklen_t>(to_len)) != 0) {
    r = err_is_in_progress(sock_error()) ? await_connect(s, deadline, stop) : ConnectResult::refused;
  }
  if (r == ConnectResult::ok) sock_set_nonblocking(s, false);
  return r;
}

// Reads the 8-byte reply until deadline_us. A readable socket's receive returns at once, so the only
// waits are the slices, each of which looks at *stop.
PingResult read_reply(sock_t s, double deadline_us, const StopFlag *stop,
                      unsigned char reply[kPingReplySize]) {
  int held = 0;
  while (held < kPingReplySize) {
    if (stopped(stop)) return PingResult::cancelled;
    const double left = deadline_us - now_us();
    if (left <= 0) return PingResult::no_reply;
    const int ready = sock_wait_readable(s, slice_ms(left));
    if (ready < 0) return PingResult::no_reply;
    if (ready == 0) continue;
    const int n = sock_recv(s, reply + held, kPingReplySize - held);
    if (n > 0) {
      held += n;
    } else if (n == 0 || !err_is_interrupted(sock_error())) {
      return PingResult::no_reply;  // closed without a whole reply, or reset
    }
  }
  return PingResult::ok;
}

}  // namespace

double now_us() {
  int64_t freq = 0;
  int64_t count = 0;
  if (perf_frequency(&freq) && freq != 0 && perf_counter(&count)) {
    return static_cast<double>(count) * 1000000.0 / static_cast<double>(freq);
  }
  return static_cast<double>(tick_count_ms()) * 1000.0;
}

// Connection set-up: commands leave at once, buffers large enough for bulk transfer.
static void tune_connected(sock_t s) {
  sock_set_int(s, IPPROTO_TCP, TCP_NODELAY, 1);
  sock_set_int(s, SOL_SOCKET, SO_SNDBUF, 1 << 20);
  sock_set_int(s, SOL_SOCKET, SO_RCVBUF, 1 << 20);
}

ConnectResult connect_timeout(const char *host, int port, int limit_ms, const StopFlag *stop, sock_t *out) {
  *out = KS_INVALID_SOCKET;
  // The resolver takes the port as decimal text and wraps what does not fit 16 bits: 65536 more than a
  // listening port would reach that port under another number. Such a port is no service at all.
  if (port < 1 || port > 65535) return ConnectResult::resolution_failed;
  char service[16];
  std::snprintf(service, sizeof service, "%d", port);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo *list = nullptr;
  if (getaddrinfo(host, service, &hints, &list) != 0) return ConnectResult::resolution_failed;

  // Every address gets the whole limit; refusals move on to the next address, but the first address that
  // stays silent for the whole limit ends the walk, and so does a stop.
  for (addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
    const sock_t s = sock_open(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == KS_INVALID_SOCKET) continue;
    const ConnectResult r = connect_socket(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen), limit_ms, stop);
    if (r == ConnectResult::ok) {
      tune_connected(s);
      freeaddrinfo(list);
      *out = s;
      return r;
    }
    sock_close(s);
    if (r != ConnectResult::refused) {
      freeaddrinfo(list);
      return r;
    }
  }
  if (list != nullptr) freeaddrinfo(list);
  return ConnectResult::refused;
}

ConnectResult connect_address(const sockaddr *to, int to_len, const sockaddr *from, int from_len,
                              int limit_ms, const StopFlag *stop, sock_t *out) {
  *out = KS_INVALID_SOCKET;
  const sock_t s = sock_open(to->sa_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == KS_INVALID_SOCKET) return ConnectResult::refused;
  if (from != nullptr && !sock_bind_source(s, from, from_len)) {
    sock_close(s);
    return ConnectResult::refused;
  }
  const ConnectResult r = connect_socket(s, to, to_len, limit_ms, stop);
  if (r == ConnectResult::ok) {
    *out = s;
  } else {
    sock_close(s);
  }
  return r;
}

void close_fd(sock_t s, CloseHow how) {
  if (how == CloseHow::hard) sock_set_hard_close(s);
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

PingSample ping_sample(const PingPeer &peer, const PingLimits &limits, const StopFlag *stop) {
  PingSample r;
  const double start = now_us();
  int connect_ms = limits.connect_ms;
  if (limits.sample_ms > 0 && limits.sample_ms < connect_ms) connect_ms = limits.sample_ms;
  sock_t s = KS_INVALID_SOCKET;
  r.connect = peer.host != nullptr
                  ? connect_timeout(peer.host, peer.port, connect_ms, stop, &s)
                  : connect_address(peer.addr, peer.addr_len, peer.from, peer.from_len, connect_ms, stop, &s);
  if (r.connect != ConnectResult::ok) {
    r.result = r.connect == ConnectResult::cancelled ? PingResult::cancelled : PingResult::not_connected;
    return r;
  }

  const double sent = now_us();
  r.connect_us = sent - start;
  double deadline = sent + limits.reply_ms * 1000.0;
  if (limits.sample_ms > 0 && start + limits.sample_ms * 1000.0 < deadline) {
    deadline = start + limits.sample_ms * 1000.0;
  }
  unsigned char probe[kPingProbeSize];
  build_ping_probe(probe, sent);
  unsigned char reply[kPingReplySize];
  // Nine bytes into a fresh connection's empty send buffer: taken whole or not at all.
  if (sock_send(s, probe, kPingProbeSize) != kPingProbeSize) {
    r.result = PingResult::send_failed;
  } else {
    r.result = read_reply(s, deadline, stop, reply);
  }
  if (r.result == PingResult::ok) {
    r.reply_us = now_us() - sent;
    r.echoed = std::memcmp(reply, probe + 1, kPingReplySize) == 0;
  }
  close_fd(s, stopped(stop) ? CloseHow::hard : CloseHow::orderly);
  return r;
}
