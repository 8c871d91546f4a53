// The network kit: one monotonic clock, connections made within a time limit that a stop flag ends early,
// their teardown, and one ping exchange of the wire protocol. It knows nothing of the library's frame (its
// texts, its record, its cancel flag): every caller says what stops it and turns the results into its own
// words. The library, the kestrum command, the server's tests, the fuzzers and the benchmarks all reach the
// network through it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "wire.h"

// A request to stop, raised by any thread (a signal handler's included: it is lock-free) and looked at by
// every wait below at least every kStopPollMs. Null where nothing stops the caller.
using StopFlag = std::atomic<bool>;
static_assert(StopFlag::is_always_lock_free, "a stop flag is raised from signal handlers");
constexpr int kStopPollMs = 5;

// Microseconds since an arbitrary origin on the platform's high-resolution monotonic counter (the tick
// count in milliseconds where there is none); only differences, and the ping probe's stamp, mean anything.
// Never fails. Any thread.
double now_us();

// How a connection attempt ended.
enum class ConnectResult {
  ok,
  resolution_failed,  // the resolver refused host or port; a port outside 1..65535 is refused before it
  refused,            // every address refused or failed, or the resolver gave none
  timed_out,          // an address stayed silent for the whole limit (or the wait for it failed)
  cancelled,          // *stop was raised while the attempt waited
};

// Resolves host and port (IPv4 and IPv6, the resolver's order) and connects. Each address gets limit_ms
// of its own; an address that refuses or fails moves on to the next, the first that stays silent for the
// whole limit ends the walk. On ok, *out is a connected, blocking socket with TCP_NODELAY and 1 MiB send
// and receive buffers, which the caller ends with close_fd; on every other result *out is
// KS_INVALID_SOCKET and nothing is left open. The resolver itself is not interrupted by *stop.
ConnectResult connect_timeout(const char *host, int port, int limit_ms, const StopFlag *stop, sock_t *out);

// Connects to the one address `to`, from the source address `from` when it is not null (its port is
// chosen by the connect). On ok, *out is a connected, blocking socket with no other setting; the caller
// ends it. Otherwise *out is KS_INVALID_SOCKET and nothing is left open.
ConnectResult connect_address(const sockaddr *to, int to_len, const sockaddr *from, int from_len,
                              int limit_ms, const StopFlag *stop, sock_t *out);

// How a connection is ended: in order (both directions shut down, queued data still delivered), or hard
// (SO_LINGER {on, 0}: queued data dropped and the connection reset).
enum class CloseHow { orderly, hard };
// Ends the connection and releases the socket.
void close_fd(sock_t s, CloseHow how);

// The 9-byte ping probe: 'P' and the clock reading in whole microseconds, little-endian.
void build_ping_probe(unsigned char out[kPingProbeSize], double clock_us);

// --- one ping ----------------------------------------------------------------------------------------------

// Where a ping goes: host and port, resolved for this ping and walked as connect_timeout walks them; or,
// when host is null, the one address `addr`, from `from` when that is not null.
struct PingPeer {
  const char *host = nullptr;
  int port = 0;
  const sockaddr *addr = nullptr;
  int addr_len = 0;
  const sockaddr *from = nullptr;
  int from_len = 0;
};

// The limits of one ping, in milliseconds.
struct PingLimits {
  int connect_ms;     // each address's connection attempt
  int reply_ms;       // the whole reply, counted from the probe's send
  int sample_ms = 0;  // when above 0, the whole ping, counted from its start; it bounds both of the above
};

enum class PingResult {
  ok,
  not_connected,  // PingSample::connect says why
  send_failed,    // the probe did not go out whole in one send
  no_reply,       // the server closed or failed the connection, or the reply was not whole in time
  cancelled,      // *stop was raised while the ping waited (for its connection or for its reply)
};

struct PingSample {
  PingResult result = PingResult::no_reply;
  ConnectResult connect = ConnectResult::ok;
  // From the start of the ping (before the resolver, when by host) to the probe's send, and from the send
  // to the reply's last byte; their sum is the round trip from the connection attempt to the reply.
  double connect_us = 0;
  double reply_us = 0;
  bool echoed = false;  // the reply repeated the probe's 8 bytes, as kestrum-server answers
};

// One ping on a fresh connection: connect, send the probe (stamped with now_us() just before the send) in
// one send, read until the 8-byte reply is whole, close. The connection waits and the reply wait look at
// *stop every kStopPollMs; the reply has one deadline for all of its bytes. The socket is closed on every
// path, hard when *stop is raised by then. The reply's content is only compared, never required.
PingSample ping_sample(const PingPeer &peer, const PingLimits &limits, const StopFlag *stop);
