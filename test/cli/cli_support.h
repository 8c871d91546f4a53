// What several of the command's tests share: a port nobody listens on, a server in the test's own process,
// the result document read back, the bundled server's address as the command announces it, and files.
#pragma once

#include <string>

#include "server.h"

// A TCP port on 127.0.0.1 that refuses connections: bound, never listening, held for the object's life so
// that no one else takes it meanwhile.
class ClosedPort {
 public:
  ClosedPort();
  ~ClosedPort();
  ClosedPort(const ClosedPort &) = delete;
  ClosedPort &operator=(const ClosedPort &) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// kestrum-server's core in the test's own process, on 127.0.0.1 and a free port, so that a test can count
// what the command did to it; stopped with the object.
class InProcessServer {
 public:
  InProcessServer();
  ~InProcessServer();
  InProcessServer(const InProcessServer &) = delete;
  InProcessServer &operator=(const InProcessServer &) = delete;
  Server *server() const { return server_; }  // nullptr when it did not start: error() says why
  const std::string &error() const { return error_; }

 private:
  Server *server_ = nullptr;
  std::string error_;
};

// A folder of its own for the running test (under the test temporary folder, named after prefix and the
// test), empty; the test removes it.
std::string fresh_test_folder(const std::string &prefix);

// The whole file, "" when it cannot be read.
std::string file_text(const std::string &path);

// One phase of "loaded_latency"; samples -1 when the phase is not there.
struct LoadedDoc {
  double median_ms = -1;
  double p90_ms = -1;
  double jitter_ms = -1;
  long long samples = -1;
  long long lost = -1;
};

struct ResultDoc {
  bool parsed = false;
  std::string server;
  std::string phase;
  double ping_ms = -1;
  double jitter_ms = -1;
  double download_mbps = -1;
  double upload_mbps = -1;
  long long duration_ms = -1;
  LoadedDoc loaded_download;
  LoadedDoc loaded_upload;
};
ResultDoc parse_result(const std::string &line);

// "127.0.0.1:PORT" from the command's "No server given: ..." line on stderr; empty when it is not there.
std::string bundled_server(const std::string &stderr_text);
