#include "metrics.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_replace.h"

namespace {

// A label value as the exposition format wants it: backslash, double quote and newline escaped.
std::string label_value(const std::string &text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// Shortest text that reads back as the same double (Prometheus parses with Go's ParseFloat).
std::string number(double v) {
  char buf[40];
  if (v == static_cast<double>(static_cast<long long>(v)) && v > -1e15 && v < 1e15) {
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));  // whole numbers without exponent
    return buf;
  }
  std::snprintf(buf, sizeof buf, "%.17g", v);
  for (int precision = 1; precision < 17; ++precision) {
    char shorter[40];
    std::snprintf(shorter, sizeof shorter, "%.*g", precision, v);
    if (std::strtod(shorter, nullptr) == v) return shorter;
  }
  return buf;
}

void family(std::string *out, const char *name, const char *type, const char *help) {
  *out += "# HELP ";
  *out += name;
  *out += ' ';
  *out += help;
  *out += "\n# TYPE ";
  *out += name;
  *out += ' ';
  *out += type;
  *out += '\n';
}

void sample(std::string *out, const char *name, const std::string &labels, double value) {
  *out += name;
  *out += '{';
  *out += labels;
  *out += "} ";
  *out += number(value);
  *out += '\n';
}

void gauge_family(std::string *out, const char *name, const char *help, const std::string &labels,
                  const Gauge &g) {
  if (!g.known) return;
  family(out, name, "gauge", help);
  sample(out, name, labels, g.value);
}

}  // namespace

std::string render_metrics(const MetricsState &s) {
  const std::string server = "server=\"" + label_value(s.server) + "\"";
  std::string out;
  gauge_family(&out, "kestrum_download_bytes_per_second",
               "Download throughput of the last successful measurement, in bytes per second.", server,
               s.download_bytes_per_second);
  gauge_family(&out, "kestrum_upload_bytes_per_second",
               "Upload throughput of the last successful measurement (bytes the server acknowledged), in "
               "bytes per second.",
               server, s.upload_bytes_per_second);
  gauge_family(&out, "kestrum_latency_seconds",
               "Mean idle round trip over fresh TCP connections, connection set-up included, in seconds.",
               server, s.latency_seconds);
  gauge_family(&out, "kestrum_jitter_seconds",
               "Mean absolute difference of consecutive idle round trips, in seconds.", server,
               s.jitter_seconds);

  bool any_loaded = false;
  for (const auto &phase : s.loaded_latency_seconds)
    for (const Gauge &g : phase) any_loaded = any_loaded || g.known;
  if (any_loaded) {
    // Quantiles make it a summary (a gauge may not carry a quantile label); only the quantiles of the last
    // good run are given, no _sum or _count, which would have to be counters over all runs.
    family(&out, "kestrum_loaded_latency_seconds", "summary",
           "Round trip of probes sent while the last download or upload ran, by quantile, in seconds.");
    const char *phases[2] = {"download", "upload"};
    const char *quantiles[2] = {"0.5", "0.9"};
    for (int p = 0; p < 2; ++p) {
      for (int q = 0; q < 2; ++q) {
        const Gauge &g = s.loaded_latency_seconds[p][q];
        if (!g.known) continue;
        sample(&out, "kestrum_loaded_latency_seconds",
               server + ",phase=\"" + phases[p] + "\",quantile=\"" + quantiles[q] + "\"", g.value);
      }
    }
  }

  if (s.runs_ok + s.runs_failed > 0) {
    family(&out, "kestrum_last_run_timestamp_seconds", "gauge",
           "Unix time at which the last measurement ended.");
    sample(&out, "kestrum_last_run_timestamp_seconds", server, s.last_run_timestamp_seconds);
    family(&out, "kestrum_last_run_success", "gauge", "1 if the last measurement succeeded, else 0.");
    sample(&out, "kestrum_last_run_success", server, s.last_run_success ? 1 : 0);
  }
  family(&out, "kestrum_runs_total", "counter", "Measurements run by this kestrum process, by result.");
  sample(&out, "kestrum_runs_total", server + ",result=\"ok\"", static_cast<double>(s.runs_ok));
  sample(&out, "kestrum_runs_total", server + ",result=\"failed\"", static_cast<double>(s.runs_failed));
  return out;
}

bool write_metrics_file(const std::string &path, const std::string &text, std::string *error) {
  return file_replace(path, text, FileAccess::world_readable, error);
}
