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

// A host as the command's messages name it: an IPv6 address in brackets ("[::1]"), and escaped so that
// nothing in it acts on a terminal (printable()).
std::string host_text(const std::string &host);

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

// One probe as the prober took it: when it was sent (seconds of the run's clock, timeline.h) and its time
// in milliseconds as probe_once gives it (kProbeLost, kProbeStopped); and the two round trips it is made
// of, the connection's set-up to the probe's send (connect_ms) and the request to its whole reply
// (reply_ms), which add up to ms; both negative when the probe was not answered.
struct ProbeSample {
  double t_s = 0;
  double ms = kProbeLost;
  double connect_ms = -1;
  double reply_ms = -1;
};

// probe_once with its two parts and its time of sending.
ProbeSample probe_sample(const Endpoint &e, int limit_ms, const std::atomic<bool> *stop);

// The latency of one phase, idle or under load, from the samples in the order taken.
struct LoadedLatency {
  int samples = 0;
  int lost = 0;
  double median_ms = 0;  // the three figures are 0 when no probe came back
  double p90_ms = 0;     // the nearest-rank 90th percentile
  double jitter_ms = 0;  // mean absolute difference of consecutive samples
  // Medians of the two parts, over the answered probes that have them; negative when none has.
  double connect_ms = -1;
  double reply_ms = -1;
};
LoadedLatency summarize_latency(const std::vector<ProbeSample> &samples_in_order);

// The phases the prober tells apart: the idle baseline before the transfers, and the two transfers.
enum class LoadPhase { none = 0, download = 1, upload = 2, idle = 3 };

// The phase's name in the stream and the JSON: "idle", "download" or "upload".
const char *phase_name(LoadPhase phase);

// Starts the prober thread for one run against e. It probes only while a loaded phase is set: the first
// probe 100 ms after the phase begins, then a probe every 100 ms, or as soon as the one before it ends when
// that took longer (so at most 10 a second and never two at once); a probe without an answer within 2 s
// counts as lost. With stream set, each probe is also written as a "latency" event. false when the thread
// cannot start.
bool prober_start(const Endpoint &e, bool stream);

// Tells the prober which transfer the library is in (download, upload or none). Any thread (called from
// progress reports).
void prober_set_phase(LoadPhase phase);

// The idle baseline, on the calling thread while no transfer runs: probes exactly as under load, one at a
// time and at most 10 a second, until `want` are answered. It gives up after 2 * want probes, or after 3
// lost in a row (a server that does not answer is the library's to report), or at prober_abort. With
// the stream on, each probe is a "latency" event of test "idle". Call it after prober_start.
void prober_idle(int want);

// Stops the prober and waits for its thread. A probe in flight is let finish and counts: its connection
// reached the server, and the server's count of connections should match the report (at most its 2 s
// limit). Safe to call when it did not start.
void prober_stop();

// Makes a probe in flight give up within a few milliseconds, not counted (an interrupt). Any thread.
void prober_abort();

// What the prober saw during the phase in the last run, summed up and sample by sample.
LoadedLatency prober_result(LoadPhase phase);
std::vector<ProbeSample> prober_samples(LoadPhase phase);
