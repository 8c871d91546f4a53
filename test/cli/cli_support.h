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
  double connect_ms = -1;
  double reply_ms = -1;
  double increase_ms = -1000;  // a transfer's rise over idle; -1000 when absent or null
  std::string grade;
  // The transfer's "responsiveness": rpm -1 when absent or null.
  double rpm = -1;
  std::string confidence;
  std::string basis;
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
  long long version = -1;
  std::string timestamp;
  LoadedDoc idle;  // "idle_latency"
  LoadedDoc loaded_download;
  LoadedDoc loaded_upload;
  // "ended_early": -1 when the transfer is not in it
  long long download_ran_ms = -1;
  long long upload_ran_ms = -1;
};
ResultDoc parse_result(const std::string &line);

// Seconds since the Unix epoch of an RFC 3339 time in UTC with milliseconds ("2026-12-10T13:45:07.250Z");
// -1 when the text is not one.
double rfc3339_seconds(const std::string &text);

// "127.0.0.1:PORT" from the command's "No server given: ..." line on stderr; empty when it is not there.
std::string bundled_server(const std::string &stderr_text);
