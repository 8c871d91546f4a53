// The test kit's speed-test server, against loopback on an ephemeral port: each accepted connection runs
// a script on a thread of its own, and everything the clients send is recorded. A test scripts it, or
// plays one of the faults below. The faults have one name each, played the same way whether a test asks
// for one (fake::silent()) or a soak draws them at random (fake::random_faults()): a new misbehaviour is a
// new Fault and a new case in play_fault, and every suite has it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "loopback.h"
#include "platform.h"

class FakeServer;

constexpr uint64_t kNoLimit = UINT64_MAX;

// How a connection moves its bytes: calls of at most `piece` bytes, a pause of pause_ms after each.
struct Pace {
  size_t piece = 64 * 1024;
  int pause_ms = 0;
};

// One accepted connection as a script sees it. Every wait is bounded and ends when the server stops, or
// when the connection has lived for the server's cap.
class FakeConn {
 public:
  FakeConn(FakeServer *server, sock_t sock, int index, int cap_ms);

  int index() const { return index_; }  // 0-based order of acceptance

  // Reads until n bytes have arrived, the peer closes, or timeout_ms pass. Records what arrived.
  std::string read(size_t n, int timeout_ms = 3000, Pace pace = {});
  // Reads and records (up to a cap) until the peer closes, `limit` bytes have come or timeout_ms pass;
  // returns the bytes seen.
  uint64_t drain(int timeout_ms = 10000, uint64_t limit = kNoLimit, Pace pace = {});
  // Sends all of data; false when the peer is gone, the server stops or the connection's cap is reached.
  bool write(const std::string &data);
  // Streams at bytes_per_second (0: as fast as possible) until the peer goes, `limit` bytes are out or
  // timeout_ms pass; pace.piece caps each send (default: 256 KiB). Returns the bytes sent.
  uint64_t stream(uint64_t bytes_per_second, int timeout_ms = 10000, uint64_t limit = kNoLimit,
                  Pace pace = {256 * 1024, 0});
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
  bool live() const;
  template <typename More, typename Take>
  void receive(int timeout_ms, int pause_ms, More more, Take take);

  FakeServer *server_;
  sock_t sock_;
  int index_;
  std::chrono::steady_clock::time_point cap_;
  bool saw_reset_ = false;
};

using Script = std::function<void(FakeConn &)>;

struct FakeServerOptions {
  const char *bind = "127.0.0.1";
  bool record = true;   // keep what clients send (up to 4 MiB per connection); a long soak turns it off
  int conn_cap_ms = 0;  // when above 0, no connection's waits outlast this, whatever the client does
};

class FakeServer {
 public:
  explicit FakeServer(Script script, const char *bind = "127.0.0.1");
  FakeServer(Script script, const FakeServerOptions &options);
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
  // Stops accepting, tells the scripts to end and waits for them (bounded); the destructor does the same.
  void stop();

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
  FakeServerOptions options_;
  sock_t listen_ = KS_INVALID_SOCKET;
  int port_ = 0;
  bool stopped_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> running_{0};
  std::atomic<int> resets_{0};
  std::thread acceptor_;
  std::mutex mu_;
  std::vector<std::string> received_;
};

// --- faults ------------------------------------------------------------------------------------------------

// What a server can do to a client, one word each.
enum class Fault {
  normal,         // served as the protocol says
  reset_at_once,  // reset before reading anything: the nearest a listener can come to refusing
  close_at_once,  // reads the command and closes in order without a word
  silent,       // reads the command (and a ping's stamp), then neither reads nor writes until the client goes
  pieces,       // the ping reply, the download or the upload's reads come in small pieces with pauses
  reset_after,  // some of the ping reply, the download or the upload, then a reset
  stop_reading,  // reads the command byte only, then never reads again (a download stalls after a burst)
  throttled,     // paced: the ping reply byte by byte, the download at a set rate, the upload read slowly
};
constexpr int kFaultKinds = 8;
// The fault's name in reports ("close at once").
const char *fault_name(Fault f);

// How a fault is played; each field says which faults use it.
struct FaultPlay {
  Fault fault = Fault::normal;
  uint64_t bytes = 0;       // reset_after: bytes before the reset; stop_reading: the download's burst
  uint64_t rate = 0;        // throttled: the download's bytes per second (0: as fast as possible)
  Pace pace;                // pieces, throttled: the size of each piece and the pause after it
  int reset_pause_ms = 20;  // reset_after: the pause between the last byte and the reset
};

// Plays `play` on a connection whose command byte has been read: 'P', 'D' or 'U' (anything else is left
// to the close that ends every script). reset_at_once resets whatever has been read.
void play_fault(FakeConn &c, char command, const FaultPlay &play);

// What a server that draws its faults did: connections per fault, served normally, without a command.
struct FaultCounts {
  uint64_t by_kind[kFaultKinds] = {};
  uint64_t clean = 0;       // connections of a normal server (fake::counted())
  uint64_t no_command = 0;  // the client went before its command byte arrived
};
class FaultTally {
 public:
  void add(Fault f) { by_kind_[static_cast<int>(f)].fetch_add(1); }
  void add_clean() { clean_.fetch_add(1); }
  void add_no_command() { no_command_.fetch_add(1); }
  FaultCounts counts() const;

 private:
  std::atomic<uint64_t> by_kind_[kFaultKinds] = {};
  std::atomic<uint64_t> clean_{0}, no_command_{0};
};

// Scripts, one per fault, and a few that compose them.
namespace fake {
// 'P': echo the 8 bytes after the command; 'D': stream as fast as possible; 'U': read until close.
Script normal();
// Any fault as `play` describes it, on every connection.
Script play(FaultPlay play);
Script reset_at_once();
Script close_at_once();
Script silent();
// The ping reply (the download, the upload's reads) in pieces of `piece` bytes, pause_ms after each.
Script pieces(size_t piece, int pause_ms = 30);
// Sends (for 'D') or reads (for 'U') about `bytes`, or that much of the ping reply, then resets.
Script reset_after(uint64_t bytes);
// Reads the command, then never reads again (an upload's sends fill the buffers and time out).
Script stop_reading();
// 'D' streamed at bytes_per_second.
Script throttled(uint64_t bytes_per_second);
// 'P' answered byte by byte, pause_ms before each byte.
Script throttled_reply(int pause_ms);

// Echoes the ping reply after delay_ms[i] for connection i (0 past the end of the list).
Script ping_delays(std::vector<int> delays_ms);
// Connection number n (1-based) runs `failing`, every other one `normal()`.
Script fail_on(int n, Script failing);
// The normal server, counting each connection in tally (clean, or no_command).
Script counted(FaultTally *tally);
// For every connection a fault drawn at random and counted in tally: from a generator seeded by `seed`
// and the connection's number, so the faults of a run follow from the seed. A ping that gets no reply
// costs a client its 2 s reply limit, so the silent faults are rare for pings and common for transfers.
Script random_faults(uint64_t seed, FaultTally *tally);
}  // namespace fake

// The bytes of the 64 KiB upload payload, computed here independently of the library.
std::string expected_upload_payload();
