// kestrum-server as a library: the reference speed-test server that the kestrum command can also run
// in-process. It shares the platform layer and the wire constants with the client library, but none of
// its statics.
//
// One admission loop owns the listener and every connection until its command is in: it accepts until the
// queue is empty, answers pings itself and costs no thread per connection. Downloads and uploads go to a
// thread each. Every limit below says what it counts; the defaults let one household run a full
// measurement while a hostile host fills every other place.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

constexpr int kDefaultServerPort = 9301;

struct ServerConfig {
  std::string bind;  // numeric IPv4 or IPv6 address to listen on ("[::1]" too); empty: all IPv6 and IPv4
  int port = kDefaultServerPort;  // 0: an ephemeral port, see server_port
  // A source is the network a client speaks from: an IPv4 address, or the first ipv6_prefix bits of an
  // IPv6 address (48 to 128; a /64 by default). Every per-source limit counts by it.
  int ipv6_prefix = 64;
  // Pending connections: accepted, command not yet complete (or a ping answered and the client's close
  // awaited). When all max_pending places are taken, a newcomer takes the place of the oldest pending
  // connection of the source holding the most (of those holding the most, the one whose oldest is
  // oldest); when its own source holds max_pending_per_source, it takes the place of that source's
  // oldest. Nobody is refused at the door. 0: sized at start from the open-files limit (see
  // server_limits).
  int max_pending = 0;
  int max_pending_per_source = 0;  // 0: a quarter of max_pending, at least 16
  // Streams: downloads and uploads running at once, each on a thread of its own. A new stream from a
  // source that already holds max_streams_per_source, or within slow_penalty_ms (below), is refused. When all max_streams slots are taken, a
  // newcomer whose source holds k streams takes the slot of the oldest stream of the source holding the
  // most, h, when h > k + 1 (among sources tied at h, the one whose oldest stream is oldest); otherwise
  // it is refused. A refused or reclaimed stream is reset, which a client reads as a failed transfer,
  // never as a measurement.
  int max_streams = 12;
  int max_streams_per_source = 4;
  int command_timeout_ms = 5000;  // a client whose command (with a probe, all 9 bytes) is not in by then
                                  // is dropped; also how long a client may keep a ping connection open
  int max_stream_seconds = 300;   // a download or upload is ended after this long
  // A stream must move at least min_rate_bytes per second, judged window by window (rate_window_ms each)
  // on what its client really moved: a download what the client has taken from its receive buffer (its
  // acknowledgements less what sits unread, as its window shows), an upload what the server received.
  // One that moves less in a window is dropped at the window's end; one that moves nothing is dropped at
  // the end of its first. See RateJudge (policy.h) for how a window is counted.
  int min_rate_bytes = 8192;
  int rate_window_ms = 10000;
  // After one of its streams is dropped below the minimum rate, a source's new streams are refused for
  // this long: a host that opens streams only to hold their slots must otherwise just reopen them, and
  // keeps the slot it loses. 0: no such wait.
  int slow_penalty_ms = 30000;
  int socket_buffer_bytes = 0;  // SO_SNDBUF / SO_RCVBUF of streams; 0: the kernel's own (autotuned)
  // TCP congestion control of every accepted connection (TCP_CONGESTION, e.g. "cubic"), so that a
  // benchmark can choose a loss-based sender; empty: the system's default. server_start fails when the
  // algorithm cannot be set.
  std::string congestion;
  bool stats = false;  // one line per finished upload/download on the log stream
  bool quiet = false;  // no log lines at all
  // Where log lines go, one call per line, timestamp included, no newline; empty: stderr. Called from the
  // server's threads, one line at a time.
  std::function<void(const std::string &line)> log;
};

struct ServerStats {
  uint64_t connections = 0;  // accepted so far
  uint64_t active = 0;       // open right now: pending and streams
  uint64_t pending = 0;      // of those, pending (in the admission loop)
  uint64_t streams = 0;      // of those, downloads and uploads holding a slot
  // Pending connections that left without a stream or an answered ping, by reason.
  uint64_t evicted = 0;          // closed to make room for a newcomer
  uint64_t dropped = 0;          // closed for a missing or bad command: the three below, and those that
                                 // closed or reset before their command was complete
  uint64_t timed_out = 0;        // of those, no complete command within command_timeout_ms
  uint64_t unknown_command = 0;  // of those, a first byte that is no command
  // Streams refused at once, by reason, and their sum.
  uint64_t rejected = 0;
  uint64_t refused_per_source = 0;  // the source already held max_streams_per_source
  uint64_t refused_full = 0;        // every slot taken and none to reclaim
  uint64_t refused_penalty = 0;     // within slow_penalty_ms of a stream of its source dropped too slow
  uint64_t refused_no_thread = 0;   // no thread could be started for it
  // Streams ended by the server, by reason.
  uint64_t reclaimed = 0;       // their slot went to a newcomer
  uint64_t too_slow = 0;        // below the minimum rate in a window
  uint64_t max_length = 0;      // ran max_stream_seconds
  uint64_t pings = 0;           // probes answered
  uint64_t downloads = 0;       // finished download streams, however they ended
  uint64_t uploads = 0;         // finished upload streams, however they ended
  uint64_t bytes_sent = 0;      // download payload handed to the socket layer, running total
  uint64_t bytes_received = 0;  // upload payload received, command bytes not counted, running total
};

class Server;  // opaque

// The limits a server started with config would use, with every 0 replaced by what start sizes it to.
ServerConfig server_limits(const ServerConfig &config);
// Starts listening and serving on background threads. Returns null and fills *error when it cannot
// listen (address in use, bad bind address...). It does not touch the process's open-files limit: the
// kestrum-server program raises it first (see raise_open_files_limit in server_platform.h).
Server *server_start(const ServerConfig &config, std::string *error);
// The port actually bound (useful with port 0).
int server_port(const Server *server);
ServerStats server_stats(const Server *server);
// The figures of stats as Prometheus text (the exposition format node_exporter's textfile collector reads),
// each metric with its HELP and TYPE lines: kestrum_server_connections_total, _pending, _streams,
// _streams_refused_total{reason}, _streams_ended_total{reason}, _pending_closed_total{reason},
// _pings_total, _streams_finished_total{direction}, _bytes_total{direction}.
std::string server_metrics_text(const ServerStats &stats);
// Stops accepting, closes every connection, joins every thread and frees the server. Bounded in time.
void server_stop(Server *server);
