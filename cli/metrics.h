// Prometheus' text exposition format for node_exporter's textfile collector: what the last runs of a
// kestrum process measured, written so that a scrape never sees half a file.
#pragma once

#include <string>

// One figure that a run may or may not have measured.
struct Gauge {
  bool known = false;
  double value = 0;
};

// What the metrics file says: the last good figures (a failed run leaves them as they were), the last
// run's time and outcome, and the runs counted over the life of the process.
struct MetricsState {
  std::string server;  // "HOST:PORT", the label of every series
  Gauge download_bytes_per_second;
  Gauge upload_bytes_per_second;
  Gauge latency_seconds;  // idle mean
  Gauge jitter_seconds;
  // Loaded latency: [phase][quantile], phase 0 download, 1 upload; quantile 0 the median, 1 the 90th.
  Gauge loaded_latency_seconds[2][2];
  double last_run_timestamp_seconds = 0;  // Unix time; 0 before the first run
  bool last_run_success = false;
  long long runs_ok = 0;
  long long runs_failed = 0;
};

// The exposition text: # HELP and # TYPE for every metric family, base units, one sample per line.
// Families whose figure no run has measured are left out.
std::string render_metrics(const MetricsState &state);

// Writes text to a temporary file in path's folder and renames it over path, so a reader sees the old
// file or the new one, never a part. false with *error set when it cannot.
bool write_metrics_file(const std::string &path, const std::string &text, std::string *error);
