// A speed-test server that misbehaves on purpose: for every connection on its faulty port it draws one
// fault at random and plays it, while its clean port serves every connection properly. Every wait is cut
// into short slices and capped, so a connection thread lives a few seconds at most whatever the client
// does. Loopback only.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace rel {

enum class Fault {
  normal,        // served as the protocol says
  reset_now,     // reset at once, before reading anything: the nearest a listener can come to refusing
  hang,          // reads the command and then neither reads nor writes until the client goes
  close_now,     // reads the command and closes in order without a word
  pieces,        // the reply, the stream or the reads come in small pieces with short pauses
  reset_mid,     // part of the reply or stream (or some of the upload), then a reset
  stop_reading,  // reads the command byte only, then never reads again
  trickle,       // a slow trickle: a ping reply byte by byte, a download at a few kB/s, slow reads
};
constexpr int kFaultKinds = 8;
const char *fault_name(Fault f);

struct FaultCounts {
  uint64_t by_kind[kFaultKinds] = {};
  uint64_t clean = 0;       // connections on the clean port
  uint64_t no_command = 0;  // the client went before its command byte arrived
};

class FaultServer {
 public:
  // Listens on 127.0.0.1 (ephemeral ports): a faulty port, a clean port, and a port whose accept queue is
  // full so that connection attempts get no answer.
  explicit FaultServer(uint64_t seed);
  ~FaultServer();
  FaultServer(const FaultServer &) = delete;
  FaultServer &operator=(const FaultServer &) = delete;

  bool ok() const { return ok_; }
  int faulty_port() const { return faulty_port_; }
  int clean_port() const { return clean_port_; }
  int unanswered_port() const { return unanswered_port_; }

  // Stops accepting and waits (bounded) for the connection threads; then the counts are final.
  void stop();
  FaultCounts counts() const;

 private:
  void accept_loop(int listener, bool faulty);
  void serve(int fd, bool faulty, uint64_t conn_seed);

  uint64_t seed_;
  bool ok_ = false;
  int faulty_fd_ = -1, clean_fd_ = -1, unanswered_fd_ = -1;
  int filler_fds_[4] = {-1, -1, -1, -1};
  int faulty_port_ = 0, clean_port_ = 0, unanswered_port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> running_{0};
  std::atomic<uint64_t> next_conn_{0};
  std::atomic<uint64_t> by_kind_[kFaultKinds] = {};
  std::atomic<uint64_t> clean_{0}, no_command_{0};
  std::atomic<int> acceptors_{0};
};

// Runs a FaultServer in a child process, so that the descriptors, threads and memory of the process
// under test are the library's own. The child is forked before the caller starts any thread.
class FaultServerProcess {
 public:
  explicit FaultServerProcess(uint64_t seed);
  ~FaultServerProcess();
  FaultServerProcess(const FaultServerProcess &) = delete;
  FaultServerProcess &operator=(const FaultServerProcess &) = delete;

  bool ok() const { return ok_; }
  int faulty_port() const { return ports_[0]; }
  int clean_port() const { return ports_[1]; }
  int unanswered_port() const { return ports_[2]; }
  // A loopback port where nothing listens: connection attempts are refused.
  int refused_port() const { return ports_[3]; }

  // Stops the child and returns what it counted.
  FaultCounts finish();

 private:
  bool ok_ = false;
  int pid_ = -1;
  int control_fd_ = -1;  // closing it tells the child to stop
  int report_fd_ = -1;   // the child's ports, then its counts
  int ports_[4] = {};
};

}  // namespace rel
