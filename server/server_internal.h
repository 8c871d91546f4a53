// What the parts of kestrum-server share: the Server record and the few calls between its parts.
//   lifecycle.cpp  start, listener, stop
//   loop.cpp       the admission loop: accept, command byte, pings, fairness, hand-off
//   stream.cpp     the stream worker: one loop for downloads and uploads
//   report.cpp     stats, log lines, address texts
//   policy.cpp     the decisions, free of I/O: sources, reclaiming a slot, the minimum rate
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform.h"
#include "policy.h"
#include "server.h"

struct Poller;

using ServerClock = std::chrono::steady_clock;

// The longest any stream thread blocks in one call, and the admission loop in one wait. It bounds how
// late a stop, a deadline or a window's end is seen, and so how long server_stop takes.
constexpr int kSliceMs = 100;

// How a download or upload ended, for its stats line and for the style of the close. A connection that
// never became a stream is the loop's: it counts the ones it closes by reason (timed_out, unknown_command,
// evicted below).
enum class End { client_closed, reset, max_stream, too_slow, reclaimed, stopped };

struct Stream {
  sock_t sock = KS_INVALID_SOCKET;  // under Server::mu: server_stop shuts it down while its thread runs
  SourceKey source;
  std::string peer;    // for the stats line
  char command = 0;    // kCmdDownload or kCmdUpload
  uint64_t early = 0;  // upload bytes that came with the command byte, read by the loop
  std::thread thread;
  bool holds_slot = true;              // under Server::mu: counted in streams_of and stream_count
  std::atomic<bool> reclaimed{false};  // its slot went to a newcomer: the thread ends it within a slice
  std::atomic<bool> done{false};       // the thread has let go of this record and may be joined
};

class Server {
 public:
  ServerConfig config;  // every 0 already replaced (server_limits)
  sock_t listener = KS_INVALID_SOCKET;
  int port = 0;
  std::thread loop;
  Poller *poller = nullptr;
  std::atomic<bool> stopping{false};

  std::atomic<uint64_t> connections{0}, evicted{0}, pending{0}, dropped{0}, timed_out{0}, unknown_command{0};
  std::atomic<uint64_t> refused_per_source{0}, refused_full{0}, refused_penalty{0}, refused_no_thread{0};
  std::atomic<uint64_t> reclaimed{0};
  std::atomic<uint64_t> too_slow{0}, max_length{0};
  std::atomic<uint64_t> pings{0}, downloads{0}, uploads{0}, bytes_sent{0}, bytes_received{0};
  std::atomic<uint64_t> stream_count{0};
  std::atomic<int> finished{0};  // stream threads done but not yet joined

  std::mutex mu;              // streams' shape, every Stream::sock and holds_slot, streams_of
  std::list<Stream> streams;  // in the order they started, oldest first
  std::unordered_map<SourceKey, int> streams_of;  // streams holding a slot, per source
  // Sources whose stream was dropped below the minimum rate, and until when their new ones are refused.
  std::unordered_map<SourceKey, ServerClock::time_point> barred_until;

  std::mutex log_mu;  // one line at a time, and localtime's shared buffer
};

// report.cpp
void emit(Server &srv, const char *text);
std::string address_text(const sockaddr *sa, socklen_t len);
const char *end_text(End end);

// loop.cpp: runs until srv->stopping; closes every pending connection on the way out. The poller is the
// caller's, opened before and closed after.
void admission_loop(Server *srv, Poller *poller);

// stream.cpp
// Hands a connection whose command is D or U to a stream thread, or closes it when a stream limit is
// reached. Called by the loop only.
void stream_start(Server &srv, sock_t s, const SourceKey &source, const std::string &peer, char command,
                  uint64_t early);
// Joins the threads of finished streams. Called by the loop only (and by server_stop after it).
void streams_reap(Server &srv);
// Wakes every stream (where the platform allows) and joins them all. After the loop has ended.
void streams_stop(Server &srv);
// A ready-made download block, generated once.
const unsigned char *download_block();
