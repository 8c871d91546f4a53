#include "metrics.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "figures.h"
#include "host_port.h"

const FigureSpec kFigureSpecs[kFigureCount] = {
    {"download_bytes_per_second", "kestrum_download_bytes_per_second", nullptr,
     "Download throughput of the last successful measurement, in bytes per second."},
    {"upload_bytes_per_second", "kestrum_upload_bytes_per_second", nullptr,
     "Upload throughput of the last successful measurement (bytes the server acknowledged), in bytes per "
     "second."},
    {"latency_seconds", "kestrum_latency_seconds", nullptr,
     "Mean idle round trip over fresh TCP connections, connection set-up included, in seconds."},
    {"jitter_seconds", "kestrum_jitter_seconds", nullptr,
     "Mean absolute difference of consecutive idle round trips, in seconds."},
    {"loaded_latency_median_seconds.download", "kestrum_loaded_latency_median_seconds", "download",
     "Median round trip of the probes sent while the last successful measurement's download or upload "
     "ran, in seconds."},
    {"loaded_latency_median_seconds.upload", "kestrum_loaded_latency_median_seconds", "upload", nullptr},
    {"loaded_latency_p90_seconds.download", "kestrum_loaded_latency_p90_seconds", "download",
     "90th percentile (nearest rank) of the round trips of the probes sent while the last successful "
     "measurement's download or upload ran, in seconds."},
    {"loaded_latency_p90_seconds.upload", "kestrum_loaded_latency_p90_seconds", "upload", nullptr},
    {"loaded_latency_increase_seconds.download", "kestrum_loaded_latency_increase_seconds", "download",
     "Rise of the median request-to-reply time of the probes (one round trip on a fresh connection) while "
     "the last successful measurement's download or upload ran, over its idle median, in seconds; the "
     "bufferbloat grade is on it; below 0 when the median under load was the lower.",
     true},
    {"loaded_latency_increase_seconds.upload", "kestrum_loaded_latency_increase_seconds", "upload", nullptr,
     true},
    {"responsiveness_rpm.download", "kestrum_responsiveness_rpm", "download",
     "Responsiveness in round trips per minute while the last successful measurement's download or upload "
     "ran, from fresh-connection TCP probes (the TCP-only figure of draft-ietf-ippm-responsiveness, not "
     "its full test)."},
    {"responsiveness_rpm.upload", "kestrum_responsiveness_rpm", "upload", nullptr},
};

RunFigures run_figures(TestSelection only, const char *result_json, const RunReport &run) {
  const LoadedReport &loaded = run.loaded;
  RunFigures r;
  const auto set = [&r](Figure f, double value) { r.figures[f] = Gauge{true, value}; };
  Figures f;
  if (read_figures(result_json, &f)) {
    const bool all = only == TestSelection::all;
    if (all || only == TestSelection::ping) {
      set(kIdleLatency, f.ping_ms / 1000);
      set(kIdleJitter, f.jitter_ms / 1000);
    }
    if (all || only == TestSelection::download) set(kDownloadRate, bytes_per_second(f.download_mbps));
    if (all || only == TestSelection::upload) set(kUploadRate, bytes_per_second(f.upload_mbps));
  }
  // A transfer whose probes all went unanswered has no loaded figure; the last good one stands.
  if (loaded.download && loaded.download_latency.samples > 0) {
    set(kLoadedMedianDownload, loaded.download_latency.median_ms / 1000);
    set(kLoadedP90Download, loaded.download_latency.p90_ms / 1000);
  }
  if (loaded.upload && loaded.upload_latency.samples > 0) {
    set(kLoadedMedianUpload, loaded.upload_latency.median_ms / 1000);
    set(kLoadedP90Upload, loaded.upload_latency.p90_ms / 1000);
  }
  double increase_ms = 0;
  if (loaded.download && latency_increase(loaded, loaded.download_latency, &increase_ms)) {
    set(kLoadedIncreaseDownload, increase_ms / 1000);
  }
  if (loaded.upload && latency_increase(loaded, loaded.upload_latency, &increase_ms)) {
    set(kLoadedIncreaseUpload, increase_ms / 1000);
  }
  if (loaded.download && run.download.responsiveness.known) {
    set(kResponsivenessDownload, run.download.responsiveness.rpm);
  }
  if (loaded.upload && run.upload.responsiveness.known)
    set(kResponsivenessUpload, run.upload.responsiveness.rpm);
  return r;
}

void record_run(ServerRecord *record, bool ok, double now, const RunFigures &figures) {
  record->last_run_timestamp_seconds = now;
  record->last_run_success = ok;
  if (!ok) {
    record->runs_failed++;
    return;
  }
  record->runs_ok++;
  record->last_success_timestamp_seconds = now;
  for (int i = 0; i < kFigureCount; ++i) {
    if (figures.figures[i].known) record->figures[i] = figures.figures[i];
  }
}

namespace {

// The length of the valid UTF-8 sequence at text[at], or 0 when there is none (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF).
size_t utf8_sequence(const std::string &text, size_t at) {
  const auto byte = [&text](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b = byte(at);
  size_t n = 0;
  unsigned char low = 0x80, high = 0xbf;  // the second byte's range
  if (b < 0x80) return 1;
  if (b >= 0xc2 && b <= 0xdf) {
    n = 2;
  } else if (b >= 0xe0 && b <= 0xef) {
    n = 3;
    if (b == 0xe0) low = 0xa0;
    if (b == 0xed) high = 0x9f;
  } else if (b >= 0xf0 && b <= 0xf4) {
    n = 4;
    if (b == 0xf0) low = 0x90;
    if (b == 0xf4) high = 0x8f;
  } else {
    return 0;
  }
  if (at + n > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (size_t k = 2; k < n; ++k) {
    if (byte(at + k) < 0x80 || byte(at + k) > 0xbf) return 0;
  }
  return n;
}

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

std::string server_labels(const ServerRecord &r) { return "server=\"" + label_value(r.server) + "\""; }

// A gauge family with one sample per server that has one; nothing when none has.
template <typename Known, typename Value>
void per_server(std::string *out, const std::vector<ServerRecord> &records, const char *name,
                const char *help, Known known, Value value) {
  bool any = false;
  for (const ServerRecord &r : records) {
    if (!known(r)) continue;
    if (!any) family(out, name, "gauge", help);
    any = true;
    sample(out, name, server_labels(r), value(r));
  }
}

}  // namespace

std::string server_label(const std::string &host, int port) {
  const std::string text = host_port_text(host, port);
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const size_t n = utf8_sequence(text, at);
    const unsigned char b = static_cast<unsigned char>(text[at]);
    if (n == 0 || b < 0x20 || b == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
      ++at;
    } else {
      out.append(text, at, n);
      at += n;
    }
  }
  return out;
}

std::string render_metrics(const std::vector<ServerRecord> &records, const std::string &version) {
  std::string out;
  for (int first = 0; first < kFigureCount;) {
    const FigureSpec &spec = kFigureSpecs[first];
    int end = first + 1;
    while (end < kFigureCount && std::strcmp(kFigureSpecs[end].metric, spec.metric) == 0) ++end;
    bool any = false;
    for (const ServerRecord &r : records) {
      for (int i = first; i < end; ++i) {
        if (!r.figures[i].known) continue;
        if (!any) family(&out, spec.metric, "gauge", spec.help);
        any = true;
        std::string labels = server_labels(r);
        if (kFigureSpecs[i].direction != nullptr) {
          labels += ",direction=\"";
          labels += kFigureSpecs[i].direction;
          labels += '"';
        }
        sample(&out, spec.metric, labels, r.figures[i].value);
      }
    }
    first = end;
  }

  const auto counted = [](const ServerRecord &r) { return r.runs_ok + r.runs_failed > 0; };
  per_server(&out, records, "kestrum_last_run_timestamp_seconds",
             "Unix time at which the last measurement ended.", counted,
             [](const ServerRecord &r) { return r.last_run_timestamp_seconds; });
  per_server(
      &out, records, "kestrum_last_success_timestamp_seconds",
      "Unix time at which the last successful measurement ended.",
      [](const ServerRecord &r) { return r.runs_ok > 0; },
      [](const ServerRecord &r) { return r.last_success_timestamp_seconds; });
  per_server(&out, records, "kestrum_last_run_success", "1 if the last measurement succeeded, else 0.",
             counted, [](const ServerRecord &r) { return r.last_run_success ? 1.0 : 0.0; });
  if (!records.empty()) {
    family(&out, "kestrum_runs_total", "counter",
           "Measurements over the life of the probe's state, by result.");
    for (const ServerRecord &r : records) {
      sample(&out, "kestrum_runs_total", server_labels(r) + ",result=\"ok\"", static_cast<double>(r.runs_ok));
      sample(&out, "kestrum_runs_total", server_labels(r) + ",result=\"failed\"",
             static_cast<double>(r.runs_failed));
    }
  }
  family(&out, "kestrum_build_info", "gauge", "Always 1; the version of kestrum that wrote the figures.");
  sample(&out, "kestrum_build_info", "version=\"" + label_value(version) + "\"", 1);
  return out;
}
