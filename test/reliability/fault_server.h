// The soak's misbehaving server, built from the test kit: on its faulty port every connection plays a
// fault drawn at random (fake::random_faults), its clean port serves every connection properly, and a
// third port never answers. Every wait is cut into short slices and capped, so a connection thread lives a
// few seconds at most whatever the client does. Loopback only.
#pragma once

#include <cstdint>

#include "fake_server.h"
#include "loopback.h"

namespace rel {

class FaultServer {
 public:
  explicit FaultServer(uint64_t seed);
  FaultServer(const FaultServer &) = delete;
  FaultServer &operator=(const FaultServer &) = delete;

  bool ok() const { return faulty_.ok() && clean_.ok() && unanswered_.ok(); }
  int faulty_port() const { return faulty_.port(); }
  int clean_port() const { return clean_.port(); }
  int unanswered_port() const { return unanswered_.port(); }

  // Stops accepting and waits (bounded) for the connection threads; then the counts are final.
  void stop();
  FaultCounts counts() const { return tally_.counts(); }

 private:
  FaultTally tally_;
  FakeServer faulty_;
  FakeServer clean_;
  UnansweredPort unanswered_;
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
