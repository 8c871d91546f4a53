// A speed-test server for the tests, scripted per test: each accepted connection runs the test's script on
// a thread of its own, against loopback on an ephemeral port. Everything the clients send is recorded.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"

class FakeServer;

// One accepted connection as a script sees it. Every wait is bounded and ends when the server stops.
class FakeConn {
 public:
  FakeConn(FakeServer *server, sock_t sock, int index) : server_(server), sock_(sock), index_(index) {}

  int index() const { return index_; }  // 0-based order of acceptance

  // Reads until n bytes have arrived, the peer closes, or timeout_ms pass. Records what arrived.
  std::string read(size_t n, int timeout_ms = 3000);
  // Reads and records (up to a cap) until the peer closes or timeout_ms pass; returns the bytes seen.
  uint64_t drain(int timeout_ms = 10000);
  // Sends all of data; false when the peer is gone or the server stops.
  bool write(const std::string &data);
  // Streams at bytes_per_second (0: as fast as possible) until the peer goes or timeout_ms pass.
  uint64_t stream(uint64_t bytes_per_second, int timeout_ms = 10000);
  // Does nothing with the connection until the peer closes it or timeout_ms pass.
  void hold(int timeout_ms = 10000);
  void sleep(int ms);
  // Closes at once with a reset (SO_LINGER 0).
  void reset();
  // Orderly close.
  void close();
  bool closed() const { return sock_ == KS_INVALID_SOCKET; }
  // True if the client reset the connection (seen by a read).
  bool saw_reset() const { return saw_reset_; }

 private:
  template <typename More, typename Take>
  void receive(int timeout_ms, More more, Take take);

  FakeServer *server_;
  sock_t sock_;
  int index_;
  bool saw_reset_ = false;
};

using Script = std::function<void(FakeConn &)>;

class FakeServer {
 public:
  explicit FakeServer(Script script, const char *bind = "127.0.0.1");
  ~FakeServer();
  FakeServer(const FakeServer &) = delete;
  FakeServer &operator=(const FakeServer &) = delete;

  bool ok() const { return listen_ != KS_INVALID_SOCKET; }
  int port() const { return port_; }
  int accepted() const { return accepted_.load(); }
  // What the client sent on each connection so far, in order of acceptance.
  std::vector<std::string> received() const;
  // Connections whose client reset them.
  int resets_seen() const { return resets_.load(); }
  // Waits until every connection's script has ended (bounded).
  void wait_idle(int timeout_ms = 5000);

  bool stopping() const { return stopping_.load(); }

 private:
  friend class FakeConn;
  struct ScriptStart {
    FakeServer *server;
    sock_t sock;
    int index;
  };
  void accept_loop();
  static thread_ret_t KS_THREAD_CALL script_thread(void *arg);
  void record(int index, const char *data, size_t n);

  Script script_;
  sock_t listen_ = KS_INVALID_SOCKET;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> running_{0};
  std::atomic<int> resets_{0};
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::string> received_;
};

// Scripts for the common server behaviours.
namespace fake {
// 'P': echo the 8 bytes after the command; 'D': stream as fast as possible; 'U': read until close.
Script normal();
// 'P' answered in two pieces of `first` and 8 - first bytes, with a pause between them.
Script ping_in_pieces(size_t first);
// Reads the command, then closes without a word.
Script close_at_once();
// Reads the command (and a probe), then sends nothing and holds the connection open.
Script silent();
// Echoes the ping reply after delay_ms[i] for connection i (0 past the end of the list).
Script ping_delays(std::vector<int> delays_ms);
// Connection number n (1-based) runs `failing`, every other one `normal()`.
Script fail_on(int n, Script failing);
// 'D' streamed at bytes_per_second.
Script throttled(uint64_t bytes_per_second);
// Sends (for 'D') or reads (for 'U') about `bytes`, then resets the connection.
Script reset_after(uint64_t bytes);
// Reads the command, then never reads again (an upload's sends fill the buffers and time out).
Script stop_reading();
}  // namespace fake

// A listener with a full backlog that never accepts: a connection attempt to it gets no answer.
class SilentListener {
 public:
  SilentListener();
  ~SilentListener();
  int port() const { return port_; }
  bool ok() const { return ok_; }

 private:
  sock_t listen_ = KS_INVALID_SOCKET;
  std::vector<sock_t> fillers_;
  int port_ = 0;
  bool ok_ = false;
};

// A loopback port with nothing listening on it.
int unused_port();

// The bytes of the 64 KiB upload payload, computed here independently of the library.
std::string expected_upload_payload();
