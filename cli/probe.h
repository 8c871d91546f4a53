// The command's own latency probes: one server address resolved once, single probes against it, and the
// prober that samples latency under load beside the library's download and upload.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "options.h"
#include "platform.h"

// One resolved server address: what the command measures, and what it hands the library as HOST.
struct Endpoint {
  sockaddr_storage addr{};
  socklen_t len = 0;
  std::string address;  // the numeric address, without brackets ("127.0.0.1", "::1")
  int port = 0;
};

// Resolves host once, with the given family; the first address the resolver prefers. false with *error
// set when there is none.
bool resolve_endpoint(const std::string &host, int port, Family family, Endpoint *out, std::string *error);

// "ADDR:PORT", with brackets around an IPv6 address.
std::string endpoint_text(const Endpoint &e);

// One ping probe on a fresh TCP connection, the network kit's ping exchange: "P" and 8 bytes out, the same
// 8 bytes back. Returns the round trip in milliseconds from the connection attempt to the reply,
// kProbeLost when it failed, was answered with other bytes or took longer than limit_ms, or kProbeStopped
// when *stop was raised first (its waits look at it every few milliseconds).
constexpr double kProbeLost = -1;
constexpr double kProbeStopped = -2;
double probe_once(const Endpoint &e, int limit_ms, const std::atomic<bool> *stop);

// Latency under load, in the order of the samples taken.
struct LoadedLatency {
  int samples = 0;
  int lost = 0;
  double median_ms = 0;  // the three figures are 0 when no probe came back
  double p90_ms = 0;     // the nearest-rank 90th percentile
  double jitter_ms = 0;  // mean absolute difference of consecutive samples
};
LoadedLatency summarize_latency(const std::vector<double> &samples_in_order, int lost);

// The loaded phases the prober tells apart.
enum class LoadPhase { none = 0, download = 1, upload = 2 };

// Starts the prober thread for one run against e. It probes only while a loaded phase is set: the first
// probe 100 ms after the phase begins, then a probe every 100 ms, or as soon as the one before it ends when
// that took longer (so at most 10 a second and never two at once); a probe without an answer within 2 s
// counts as lost. With stream set, each probe is also written as a "latency" event. false when the thread
// cannot start.
bool prober_start(const Endpoint &e, bool stream);

// Tells the prober which phase the library is in. Any thread (called from progress reports).
void prober_set_phase(LoadPhase phase);

// Stops the prober and waits for its thread. A probe in flight is let finish and counts: its connection
// reached the server, and the server's count of connections should match the report (at most its 2 s
// limit). Safe to call when it did not start.
void prober_stop();

// Makes a probe in flight give up within a few milliseconds, not counted (an interrupt). Any thread.
void prober_abort();

// What the prober saw during the phase in the last run.
LoadedLatency prober_result(LoadPhase phase);
