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
  // Pending connections: accepted, command not yet complete (or a ping answered and the client's close
  // awaited). When all max_pending places are taken, a newcomer takes the place of the oldest pending
  // connection of the address holding the most; when its own address holds max_pending_per_source, it
  // takes the place of that address's oldest. Nobody is refused at the door. 0: sized at start from the
  // open-files limit (see server_limits).
  int max_pending = 0;
  int max_pending_per_source = 0;  // 0: a quarter of max_pending, at least 16
  // Streams: downloads and uploads running at once, each on a thread of its own. Past either limit the
  // new stream is closed at once (counted as rejected).
  int max_streams = 12;
  int max_streams_per_source = 4;
  int command_timeout_ms = 5000;  // a client whose command (with a probe, all 9 bytes) is not in by then
                                  // is dropped; also how long a client may keep a ping connection open
  int max_stream_seconds = 300;   // a download or upload is ended after this long
  // A stream must move at least min_rate_bytes per second, counted over each rate_window_ms in turn; one
  // that moves less in a window (a client that stops reading its download, or trickles its upload) is
  // dropped at the window's end.
  int min_rate_bytes = 8192;
  int rate_window_ms = 10000;
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
  uint64_t connections = 0;     // accepted so far
  uint64_t rejected = 0;        // streams closed at once: a stream limit reached, or no thread for it
  uint64_t evicted = 0;         // pending connections closed to make room for a newcomer
  uint64_t active = 0;          // open right now: pending and streams
  uint64_t pending = 0;         // of those, pending (in the admission loop)
  uint64_t streams = 0;         // of those, downloads and uploads
  uint64_t dropped = 0;         // closed for an unknown command, or no complete command in time
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
// Stops accepting, closes every connection, joins every thread and frees the server. Bounded in time.
void server_stop(Server *server);
