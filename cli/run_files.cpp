#include "run_files.h"

#include <kestrum.h>

#include <chrono>
#include <cstdio>

#include "file_replace.h"
#include "plot.h"
#include "probe.h"
#include "safe_text.h"
#include "state.h"
#include "timeline.h"

namespace {

// What --metrics-file says (state.h): per server, the runs counted and the last good figures, over the life
// of the process or, with --state-file, of the state.
Recorder g_recorder;

}  // namespace

bool run_files_open(const Options &o) {
  std::string unwritable;
  if (!o.metrics_file.empty() && !recorder_open(&g_recorder, o.metrics_file, o.state_file, &unwritable)) {
    std::fprintf(stderr, "kestrum: %s\n", unwritable.c_str());
    return false;
  }
  return true;
}

bool write_metrics(const Options &o, const std::string &label, bool ok, const RunReport &report) {
  if (o.metrics_file.empty()) return true;
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const RunFigures figures = ok ? run_figures(o.only, kestrum_result_json(), report) : RunFigures();
  std::string warning;
  std::string why;
  const bool written = recorder_run(&g_recorder, label, ok, now, figures, &warning, &why);
  if (!warning.empty()) std::fprintf(stderr, "kestrum: warning: %s\n", warning.c_str());
  if (!written) std::fprintf(stderr, "kestrum: %s\n", why.c_str());
  std::fflush(stderr);
  return written;
}

bool write_plot(const Options &o, const std::string &display, const RunReport &report) {
  PlotInput in;
  in.title = display + "  " + report.timestamp;
  in.download = report.loaded.download;
  in.upload = report.loaded.upload;
  in.download_trace = timeline_trace(LoadPhase::download);
  in.upload_trace = timeline_trace(LoadPhase::upload);
  in.idle_probes = prober_samples(LoadPhase::idle);
  in.download_probes = prober_samples(LoadPhase::download);
  in.upload_probes = prober_samples(LoadPhase::upload);
  in.idle_known = report.loaded.idle && report.loaded.idle_latency.samples > 0;
  in.idle_median_ms = report.loaded.idle_latency.median_ms;
  std::string why;
  if (file_replace(o.plot_file, render_plot(in), FileAccess::world_readable, &why)) return true;
  std::fprintf(stderr, "kestrum: --plot: %s\n", printable(why).c_str());
  std::fflush(stderr);
  return false;
}
