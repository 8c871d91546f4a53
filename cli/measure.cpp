#include "measure.h"

#include <kestrum.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "events.h"
#include "interrupts.h"
#include "progress.h"
#include "timeline.h"

namespace {

// --json-stream: progress reports become "progress" events. Set before the first run, read from the
// library's threads.
std::atomic<bool> g_progress_events{false};
// The tests of the current run (a TestSelection), read by the progress callback.
std::atomic<int> g_selection{0};

// The idle baseline: probes as under load, before the transfers (the library's own ping samples are
// another method, a mean of samples on connections of their own timed differently).
constexpr int kIdleProbes = 10;

// A transfer is about to start: its time begins, and the prober probes it.
void transfer_begins(LoadPhase transfer) {
  timeline_transfer_begins(transfer);
  prober_set_phase(transfer);
}

// Registered for every run, drawing or not: kestrum_init and kestrum_run_all lower the cancel flag as a
// run starts, so an interrupt that lands just before would be lost. Ping samples and transfer ticks come
// often enough that raising the flag again here ends such a run within one report.
void on_tick(const char *phase, double rate_mbps, int percent) {
  // Where the library is within a run, for the latency prober and the timeline: each test's last report
  // (at 100%) says the next one starts; a transfer's own reports say it runs. The last reports come from
  // the measuring thread itself, so the switch does not wait for the monitor's first tick.
  if (phase != nullptr) {
    const bool all = g_selection.load(std::memory_order_relaxed) == static_cast<int>(TestSelection::all);
    const bool done = percent >= 100;
    if (std::strcmp(phase, "ping") == 0) {
      if (done && all) transfer_begins(LoadPhase::download);
    } else if (std::strcmp(phase, "download") == 0) {
      timeline_report(LoadPhase::download, rate_mbps, percent);
      if (!done) {
        prober_set_phase(LoadPhase::download);
      } else if (all) {
        transfer_begins(LoadPhase::upload);
      } else {
        prober_set_phase(LoadPhase::none);
      }
    } else if (std::strcmp(phase, "upload") == 0) {
      timeline_report(LoadPhase::upload, rate_mbps, percent);
      prober_set_phase(!done ? LoadPhase::upload : LoadPhase::none);
    } else {
      prober_set_phase(LoadPhase::none);
    }
  }
  if (interrupted()) {
    kestrum_cancel();
    return;
  }
  if (g_progress_events.load(std::memory_order_relaxed)) {
    if (phase != nullptr) event_progress(phase, rate_mbps, percent);
    return;
  }
  progress_report(phase, rate_mbps, percent);
}

// Whether the server ended the transfer before its planned length. The command's span of a transfer runs
// from before its connection to its first report at 100%; a transfer that ran its full length cannot
// have a shorter one, since the library stops only once the duration has passed. (One the server ends
// within the connection's set-up time of the end is not told apart.)
TransferReport transfer_report(LoadPhase transfer, int duration_ms) {
  TransferReport r;
  const TransferTrace trace = timeline_trace(transfer);
  if (!trace.started || !trace.ended) return r;
  r.planned_ms = duration_ms;
  r.ran_ms = (trace.end_s - trace.start_s) * 1000;
  r.ended_early = r.ran_ms < duration_ms;
  r.responsiveness = compute_responsiveness(prober_samples(transfer), trace);
  return r;
}

}  // namespace

void measure_reports_begin(const Options &o) {
  g_progress_events.store(o.json_stream, std::memory_order_relaxed);
  g_selection.store(static_cast<int>(o.only), std::memory_order_relaxed);
  kestrum_set_tick(on_tick);
}

void measure_reports_end() { kestrum_set_tick(nullptr); }

Outcome measure_once(const Options &o, const Endpoint &endpoint, RunReport *report) {
  if (interrupted()) return Outcome::cancelled;
  const char *host = endpoint.address.c_str();
  const int port = endpoint.port;
  // A fresh start for every run of a series: lowers the cancel flag and empties the last-error text.
  if (kestrum_init() != 0) return Outcome::failed;
  LoadedReport *loaded = &report->loaded;
  *loaded = LoadedReport();
  loaded->download = o.only == TestSelection::all || o.only == TestSelection::download;
  loaded->upload = o.only == TestSelection::all || o.only == TestSelection::upload;
  if ((loaded->download || loaded->upload) && !prober_start(endpoint, o.json_stream)) {
    std::fputs("kestrum: cannot start the latency prober; latency under load is not measured\n", stderr);
    loaded->download = loaded->upload = false;
  }
  if (loaded->download || loaded->upload) {
    prober_idle(kIdleProbes);
    loaded->idle = true;
    if (interrupted()) {  // the library would lower the cancel flag again as its run starts
      prober_stop();
      return Outcome::cancelled;
    }
  }
  bool ok = false;
  switch (o.only) {
    case TestSelection::all:
      ok = kestrum_run_all(host, port, o.duration_ms) == 0;
      break;
    case TestSelection::ping:
      ok = kestrum_ping(host, port, o.count) >= 0;
      break;
    case TestSelection::download:
      transfer_begins(LoadPhase::download);
      ok = kestrum_download(host, port, o.duration_ms) >= 0;
      break;
    case TestSelection::upload:
      transfer_begins(LoadPhase::upload);
      ok = kestrum_upload(host, port, o.duration_ms) >= 0;
      break;
  }
  prober_stop();
  loaded->idle_latency = prober_result(LoadPhase::idle);
  loaded->download_latency = prober_result(LoadPhase::download);
  loaded->upload_latency = prober_result(LoadPhase::upload);
  if (loaded->download) report->download = transfer_report(LoadPhase::download, o.duration_ms);
  if (loaded->upload) report->upload = transfer_report(LoadPhase::upload, o.duration_ms);
  // Whatever the library made of it, an interrupted run counts as cancelled, not as measured or failed.
  if (interrupted()) return Outcome::cancelled;
  return ok ? Outcome::ok : Outcome::failed;
}
