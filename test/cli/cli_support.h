// What several of the command's tests share: a port nobody listens on, the result document read back,
// and the bundled server's address as the command announces it.
#pragma once

#include <string>

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
