// The figures of a finished run, read back from the library's result document, and their summaries.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "options.h"
#include "probe.h"
#include "responsiveness.h"

// Latency under load as the command measured it, for the phases that ran, and the idle baseline taken
// with the same probe before the transfers.
struct LoadedReport {
  bool download = false;
  bool upload = false;
  LoadedLatency download_latency;
  LoadedLatency upload_latency;
  bool idle = false;
  LoadedLatency idle_latency;
};

// One transfer of the run, as the command saw it.
struct TransferReport {
  bool ended_early = false;  // the server ended it before its planned length
  int planned_ms = 0;
  double ran_ms = 0;  // from its start (before its connection) to its end, by the command's clock
  Responsiveness responsiveness;
};

// How much the latency rose under the transfer's load, and the grade of it: the increase of the median
// request-to-reply time (one round trip on a fresh connection, what a ping measures, which is what the
// grade's scale is made for) over its idle median. false when either median is missing.
bool latency_increase(const LoadedReport &loaded, const LoadedLatency &transfer, double *increase_ms);

// One of several servers to choose from, as --json reports it.
struct CandidateReport {
  std::string host;
  int port = 0;
  std::string address;  // empty when the name did not resolve
  double median_ms = -1;
  std::string error;  // why it was skipped; empty when it answered
  bool chosen = false;
};

// The schema of the documents --json prints and --json-stream's "start" and "result" carry, as their
// "version" member. Raised on any incompatible change: a member removed or renamed, or its meaning or unit
// changed. Members added to an object do not raise it; readers skip what they do not know.
constexpr int kResultVersion = 1;

// What the command adds to the library's result for one run.
struct RunReport {
  std::string timestamp;  // the run's start, RFC 3339 in UTC (rfc3339_utc)
  LoadedReport loaded;
  TransferReport download;
  TransferReport upload;
  std::vector<CandidateReport> candidates;
};

struct Figures {
  std::string server;
  double ping_ms = 0;
  double jitter_ms = 0;
  double download_mbps = 0;
  double upload_mbps = 0;
  int duration_ms = 0;
  RunReport run;
};

// A wall-clock time as RFC 3339 in UTC with milliseconds: "2026-12-10T13:45:07.250Z". Main thread only.
std::string rfc3339_utc(std::chrono::system_clock::time_point when);

// A rate as people read it: three significant figures, in Mbit/s below 1000 and in Gbit/s from there
// ("94.1 Mbit/s", "941 Mbit/s", "1.23 Gbit/s"). The JSON keeps the library's exact numbers.
std::string rate_text(double mbps);

// Reads the result document; false when it is not the JSON object it should be.
bool read_figures(const char *json, Figures *figures);

// The document --json prints: the library's seven members, unchanged and first, then the command's own:
// "version" and "timestamp", "loaded_latency" when a transfer ran, "candidates" when there were any.
std::string compose_result(const char *library_json, const RunReport &run);

// The summary of a single run: one figure per line, only those the run measured; with latency under
// load, idle and loaded latency side by side.
void print_summary(const Figures &figures, TestSelection only, bool colour);

// The summary of one run of a series, on one line that starts with the local date and time, for logs.
void print_summary_line(const Figures &figures, TestSelection only, long long run);
