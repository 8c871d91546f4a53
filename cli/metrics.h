// Prometheus' text exposition format for node_exporter's textfile collector: per server, the last good
// figures and the runs counted, as the state between runs holds them (state.h).
#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "report.h"

// One figure that a run may or may not have measured.
struct Gauge {
  bool known = false;
  double value = 0;
};

// Every figure a good run leaves, one row each. A new series is a row here and in kFigureSpecs, and the
// line of run_figures() that fills it: the state file and the metrics file both follow the table.
enum Figure : int {
  kDownloadRate,
  kUploadRate,
  kIdleLatency,
  kIdleJitter,
  kLoadedMedianDownload,
  kLoadedMedianUpload,
  kLoadedP90Download,
  kLoadedP90Upload,
  kLoadedIncreaseDownload,
  kLoadedIncreaseUpload,
  kResponsivenessDownload,
  kResponsivenessUpload,
  kFigureCount
};

struct FigureSpec {
  const char *key;             // its name in the state file, never changed once released
  const char *metric;          // the metric family; rows of one family are next to each other
  const char *direction;       // the value of its "direction" label, or nullptr for none
  const char *help;            // the family's HELP text, on the family's first row
  bool signed_figure = false;  // may be below 0 (a difference); every other figure is an amount
};
extern const FigureSpec kFigureSpecs[kFigureCount];

// What one good run measured: the figures of the tests it ran, the others unknown.
struct RunFigures {
  Gauge figures[kFigureCount];
};

// Reads a good run's figures from the library's result document and what the command measured.
RunFigures run_figures(TestSelection only, const char *result_json, const RunReport &run);

// One server's record over the life of the state: the last good figures (a failed run leaves them as they
// were), the last run's time and outcome, the time of the last success, and the runs counted.
struct ServerRecord {
  std::string server;  // the "server" label: server_label()
  Gauge figures[kFigureCount];
  double last_run_timestamp_seconds = 0;      // Unix time at which the last run ended
  bool last_run_success = false;              // meaningful once a run was counted
  double last_success_timestamp_seconds = 0;  // 0 before the first success
  long long runs_ok = 0;
  long long runs_failed = 0;
};

// Counts one run ended at now (Unix time); a good run's known figures replace the record's.
void record_run(ServerRecord *record, bool ok, double now, const RunFigures &figures);

// The "server" label of HOST:PORT as the user named it: host_port_text(), with every byte that is not
// part of valid UTF-8, and every control character, written as \xHH, so that no host text can make a
// label value Prometheus rejects or a dashboard shows garbled.
std::string server_label(const std::string &host, int port);

// The exposition text: # HELP and # TYPE once per metric family, the samples of every server below it,
// base units, and kestrum_build_info{version} 1. Figures no run has measured are left out.
std::string render_metrics(const std::vector<ServerRecord> &records, const std::string &version);
