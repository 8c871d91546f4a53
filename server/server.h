// kestrum-server as a library: the reference speed-test server that the kestrum command can also run
// in-process. It shares the platform layer with the client library, but none of its statics.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

constexpr int kDefaultServerPort = 9301;

struct ServerConfig {
  std::string bind;  // numeric IPv4 or IPv6 address to listen on ("[::1]" too); empty: all IPv6 and IPv4
  int port = kDefaultServerPort;  // 0: an ephemeral port, see server_port
  int max_connections = 512;      // past this, new connections are closed at once
  int command_timeout_ms = 5000;  // a client whose command (with a probe, all 9 bytes) is not in by then
                                  // is dropped
  int max_stream_seconds = 300;   // a download or upload is ended after this long
  int stall_timeout_ms = 30000;   // a download the client stops reading, or an upload it stops feeding,
                                  // is dropped after this long without a byte moving
  bool stats = false;             // one line per finished upload/download on the log stream
  bool quiet = false;             // no log lines at all
  // TCP congestion control for every accepted connection (TCP_CONGESTION, e.g. "cubic"), so that a
  // benchmark can choose a loss-based sender; empty: the system's default. server_start fails when the
  // algorithm cannot be set.
  std::string congestion;
  // Where log lines go, one call per line, timestamp included, no newline; empty: stderr. Called from the
  // server's threads, one line at a time.
  std::function<void(const std::string &line)> log;
};

struct ServerStats {
  uint64_t connections = 0;     // accepted so far
  uint64_t rejected = 0;        // closed at once: max_connections reached, or no thread for it
  uint64_t active = 0;          // open right now
  uint64_t dropped = 0;         // closed for an unknown command, or no complete command in time
  uint64_t pings = 0;           // probes answered
  uint64_t downloads = 0;       // finished download streams, however they ended
  uint64_t uploads = 0;         // finished upload streams, however they ended
  uint64_t bytes_sent = 0;      // download payload handed to the socket layer, running total
  uint64_t bytes_received = 0;  // upload payload received, command bytes not counted, running total
};

class Server;  // opaque

// Starts listening and serving on background threads. Returns null and fills *error when it cannot
// listen (address in use, bad bind address...).
Server *server_start(const ServerConfig &config, std::string *error);
// The port actually bound (useful with port 0).
int server_port(const Server *server);
ServerStats server_stats(const Server *server);
// Stops accepting, closes every connection, joins every thread and frees the server. Bounded in time.
void server_stop(Server *server);
