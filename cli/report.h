// The figures of a finished run, read back from the library's result document, and their summaries.
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "probe.h"

// Latency under load as the command measured it, for the phases that ran.
struct LoadedReport {
  bool download = false;
  bool upload = false;
  LoadedLatency download_latency;
  LoadedLatency upload_latency;
};

// One of several servers to choose from, as --json reports it.
struct CandidateReport {
  std::string host;
  int port = 0;
  std::string address;  // empty when the name did not resolve
  double median_ms = -1;
  std::string error;  // why it was skipped; empty when it answered
  bool chosen = false;
};

struct Figures {
  std::string server;
  double ping_ms = 0;
  double jitter_ms = 0;
  double download_mbps = 0;
  double upload_mbps = 0;
  LoadedReport loaded;
};

// A rate as people read it: three significant figures, in Mbit/s below 1000 and in Gbit/s from there
// ("94.1 Mbit/s", "941 Mbit/s", "1.23 Gbit/s"). The JSON keeps the library's exact numbers.
std::string rate_text(double mbps);

// Reads the result document; false when it is not the JSON object it should be.
bool read_figures(const char *json, Figures *figures);

// The document --json prints: the library's, unchanged and first, then the command's own members:
// "loaded_latency" when a transfer ran, "candidates" when there were any.
std::string compose_result(const char *library_json, const LoadedReport &loaded,
                           const std::vector<CandidateReport> &candidates);

// The summary of a single run: one figure per line, only those the run measured; with latency under
// load, idle and loaded latency side by side.
void print_summary(const Figures &figures, TestSelection only, bool colour);

// The summary of one run of a series, on one line that starts with the local date and time, for logs.
void print_summary_line(const Figures &figures, TestSelection only, long long run);
