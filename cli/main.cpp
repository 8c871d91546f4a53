// kestrum: measures the path to a speed-test server from the command line, as a host of the library's
// public interface. With no server named, it runs the bundled server in this process and measures that.
#include <kestrum.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "events.h"
#include "figures.h"
#include "file_replace.h"
#include "host_port.h"
#include "options.h"
#include "plot.h"
#include "probe.h"
#include "progress.h"
#include "quantiles.h"
#include "report.h"
#include "safe_text.h"
#include "server.h"
#include "state.h"
#include "term.h"
#include "timeline.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130;  // what shells report for a program ended by SIGINT

// Interrupts seen so far. Written by the interrupt watcher under g_wait_mutex, so that a sleep between
// runs cannot miss the wake-up; read anywhere.
std::atomic<int> g_interrupts{0};
std::mutex g_wait_mutex;
std::condition_variable g_wait_cv;

bool interrupted() { return g_interrupts.load() > 0; }

// Raised by an interrupt: ends the pings that choose among several servers.
std::atomic<bool> g_probe_stop{false};

// --json-stream: progress reports become "progress" events. Set before the first run, read from the
// library's threads.
std::atomic<bool> g_stream{false};
// The tests of the current run (a TestSelection), read by the progress callback.
std::atomic<int> g_selection{0};

void on_interrupt(int count) {
  kestrum_cancel();
  g_probe_stop.store(true, std::memory_order_relaxed);
  prober_abort();
  {
    const std::lock_guard<std::mutex> lock(g_wait_mutex);
    g_interrupts.store(count);
  }
  g_wait_cv.notify_all();
  if (count >= 2) {
    // Asked twice: leave now, without waiting for the run to wind down. The system closes the sockets.
    // On a terminal a progress line may be open; the message goes below it.
    if (term_is_terminal(TermStream::err)) std::fputs("\n", stderr);
    std::fputs("kestrum: interrupted again, stopping at once\n", stderr);
    std::fflush(stderr);
    std::_Exit(kExitCancelled);
  }
}

// Registered for every run, drawing or not: kestrum_init and kestrum_run_all lower the cancel flag as a
// run starts, so an interrupt that lands just before would be lost. Ping samples and transfer ticks come
// often enough that raising the flag again here ends such a run within one report.
// A transfer is about to start: its time begins, and the prober probes it.
void transfer_begins(LoadPhase transfer) {
  timeline_transfer_begins(transfer);
  prober_set_phase(transfer);
}

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
  if (g_stream.load(std::memory_order_relaxed)) {
    if (phase != nullptr) event_progress(phase, rate_mbps, percent);
    return;
  }
  progress_report(phase, rate_mbps, percent);
}

// Waits between two runs; false when an interrupt ended the wait.
bool sleep_unless_interrupted(double seconds) {
  std::unique_lock<std::mutex> lock(g_wait_mutex);
  return !g_wait_cv.wait_for(lock, std::chrono::duration<double>(seconds), [] { return interrupted(); });
}

// The server a run measures: the address it was resolved to once, and how to name it.
struct Target {
  std::string label;  // "HOST:PORT" as the user named it, the metrics' server label (server_label)
  Endpoint endpoint;
  std::string display;                      // "NAME (ADDR:PORT)", or "ADDR:PORT" when NAME is the address
  std::vector<CandidateReport> candidates;  // with several servers: how each fared
};

enum class Outcome { ok, failed, cancelled };

// The idle baseline: probes as under load, before the transfers (the library's own ping samples are
// another method, a mean of samples on connections of their own timed differently).
constexpr int kIdleProbes = 10;

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

Outcome measure_once(const Options &o, const char *host, int port, const Endpoint &endpoint,
                     RunReport *report) {
  if (interrupted()) return Outcome::cancelled;
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

bool colour_wanted() {
  const char *no_colour = std::getenv("NO_COLOR");
  if (no_colour != nullptr && no_colour[0] != '\0') return false;
  const char *term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

// With --each the message names the server it concerns.
void report_failure(const Options &o, bool series, long long run, const Target &target) {
  const char *message = kestrum_last_error();
  if (message[0] == '\0') message = "measurement failed";
  if (o.json_stream) event_error(message);
  const std::string who = o.each ? printable(target.display) + ": " : "";
  if (series) {
    std::fprintf(stderr, "kestrum: run %lld: %s%s\n", run, who.c_str(), message);
  } else {
    std::fprintf(stderr, "kestrum: %s%s\n", who.c_str(), message);
  }
  std::fflush(stderr);
}

// Prints a successful run; false when standard output can no longer be written (a closed pipe), which
// would otherwise leave an endless series measuring for nobody.
bool report_success(const Options &o, const Target &target, bool series, long long run, bool colour,
                    const RunReport &report) {
  if (o.json_stream) {
    event_result(compose_result(kestrum_result_json(), report));
    return events_ok();
  }
  if (o.json) {
    std::printf("%s\n", compose_result(kestrum_result_json(), report).c_str());
  } else {
    Figures figures;
    if (!read_figures(kestrum_result_json(), &figures)) {
      std::fprintf(stderr, "kestrum: the result document could not be read: %s\n", kestrum_result_json());
    }
    figures.run = report;
    figures.server = printable(target.display);
    if (series) {
      print_summary_line(figures, o.only, run);
    } else {
      print_summary(figures, o.only, colour);
    }
  }
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

// Draws the run into --plot's file; false when it cannot be written (the reason is on stderr).
bool write_plot(const Options &o, const Target &target, const RunReport &report) {
  PlotInput in;
  in.title = target.display + "  " + report.timestamp;
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

// What --metrics-file says (state.h): per server, the runs counted and the last good figures, over the life
// of the process or, with --state-file, of the state.
Recorder g_recorder;

// Records one run's outcome and rewrites the metrics file; false when it or the state cannot be written
// (the reason is on stderr), so that a service sees the failure.
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

std::vector<std::string> planned_tests(TestSelection only) {
  switch (only) {
    case TestSelection::ping:
      return {"ping"};
    case TestSelection::download:
      return {"download"};
    case TestSelection::upload:
      return {"upload"};
    case TestSelection::all:
      break;
  }
  return {"ping", "download", "upload"};
}

// Measures the targets in turn, --repeat times; status is what came before (a server of --each that did
// not resolve).
int run_series(const Options &o, const std::vector<Target> &targets, int status) {
  const bool series = o.repeat != 1;
  const bool wanted = colour_wanted();
  const bool text = !o.json && !o.json_stream;
  const bool draw = text && term_is_terminal(TermStream::err);
  const bool draw_colour = draw && wanted && term_enable_escapes(TermStream::err);
  const bool summary_colour =
      text && wanted && term_is_terminal(TermStream::out) && term_enable_escapes(TermStream::out);

  for (long long run = 1; o.repeat == 0 || run <= o.repeat; ++run) {
    if (run > 1 && !sleep_unless_interrupted(o.interval_s)) return kExitCancelled;
    for (const Target &target : targets) {
      const char *host = target.endpoint.address.c_str();
      const int port = target.endpoint.port;
      if (draw) progress_begin(draw_colour, series, series ? "Run " + std::to_string(run) + "  " : "");
      RunReport report;
      timeline_begin();
      report.timestamp = rfc3339_utc(std::chrono::system_clock::now());
      report.candidates = target.candidates;
      if (o.json_stream) {
        // "server" as the library writes it into the result, so that a follower can match the two.
        event_start(run, report.timestamp, target.endpoint.address + ":" + std::to_string(port),
                    target.display, planned_tests(o.only), o.only == TestSelection::ping ? 0 : o.duration_ms,
                    o.only == TestSelection::ping  ? o.count
                    : o.only == TestSelection::all ? kFullRunPingSamples
                                                   : 0);
      }
      const Outcome outcome = measure_once(o, host, port, target.endpoint, &report);
      progress_end();
      if (outcome == Outcome::cancelled) {
        if (o.json_stream) event_error("Cancelled by user");
        return kExitCancelled;
      }
      if (!write_metrics(o, target.label, outcome == Outcome::ok, report)) status = kExitFailed;
      if (outcome == Outcome::failed) {
        report_failure(o, series, run, target);
        status = kExitFailed;
        continue;  // a series is a log over time, --each a list: one bad moment or server does not end it
      }
      if (!o.plot_file.empty() && !write_plot(o, target, report)) status = kExitFailed;
      if (!report_success(o, target, series, run, summary_colour, report)) {
        std::fputs("kestrum: cannot write the results; stopping\n", stderr);
        return kExitFailed;
      }
    }
  }
  return status;
}

constexpr int kCandidatePings = 3;

constexpr int kCandidateLimitMs = 2000;

// Resolves every server once and, when there are several, pings each and keeps the one with the lowest
// median. false when none can be measured (the reasons are on stderr) or when interrupted.
bool choose_target(const Options &o, const std::vector<ServerName> &servers, Target *target) {
  std::vector<Endpoint> endpoints(servers.size());
  std::vector<double> medians(servers.size(), -1);
  std::vector<CandidateReport> reports;
  for (size_t i = 0; i < servers.size(); ++i) {
    CandidateReport r;
    r.host = servers[i].host;
    r.port = servers[i].port;
    if (!resolve_endpoint(servers[i].host, servers[i].port, o.family, &endpoints[i], &r.error)) {
      reports.push_back(r);
      continue;
    }
    r.address = endpoints[i].address;
    if (servers.size() > 1) {
      std::vector<double> answered;
      for (int k = 0; k < kCandidatePings && !interrupted(); ++k) {
        const double ms = probe_once(endpoints[i], kCandidateLimitMs, &g_probe_stop);
        if (ms >= 0) answered.push_back(ms);
      }
      if (interrupted()) return false;
      if (answered.empty()) {
        r.error = "no answer to " + std::to_string(kCandidatePings) + " pings";
      } else {
        r.median_ms = medians[i] = median(answered);
      }
    }
    reports.push_back(r);
  }

  size_t best = servers.size();
  for (size_t i = 0; i < servers.size(); ++i) {
    if (!reports[i].error.empty()) continue;
    if (best == servers.size() || medians[i] < medians[best]) best = i;
  }
  if (best == servers.size()) {
    if (servers.size() == 1) {
      std::fprintf(stderr, "kestrum: %s\n", reports[0].error.c_str());
      if (o.json_stream) event_error(reports[0].error);
    } else {
      std::string why;
      for (const auto &r : reports) {
        why += (why.empty() ? " " : "; ") + printable(host_port_text(r.host, r.port)) + ": " + r.error;
      }
      std::fprintf(stderr, "kestrum: no server answered:%s\n", why.c_str());
      if (o.json_stream) event_error("no server answered:" + why);
    }
    return false;
  }

  target->label = server_label(servers[best].host, servers[best].port);
  target->endpoint = endpoints[best];
  const std::string where = endpoint_text(endpoints[best]);
  target->display =
      servers[best].host == endpoints[best].address ? where : servers[best].host + " (" + where + ")";
  if (servers.size() > 1) {
    reports[best].chosen = true;
    target->candidates = reports;
    std::fprintf(stderr, "Measuring %s: the lowest median latency (%.2f ms over %d pings) of %zu servers\n",
                 printable(target->display).c_str(), medians[best], kCandidatePings, servers.size());
    for (const auto &r : reports) {
      if (!r.error.empty()) {
        std::fprintf(stderr, "  skipped %s: %s\n", printable(host_port_text(r.host, r.port)).c_str(),
                     r.error.c_str());
      }
    }
    std::fflush(stderr);
  }
  return true;
}

int run(const Options &o) {
  // The files are checked before anything is measured: a run must not be wasted on a path that cannot be
  // written.
  std::string unwritable;
  if (!o.metrics_file.empty() && !recorder_open(&g_recorder, o.metrics_file, o.state_file, &unwritable)) {
    std::fprintf(stderr, "kestrum: %s\n", unwritable.c_str());
    return kExitFailed;
  }
  if (kestrum_init() != 0) {
    std::fprintf(stderr, "kestrum: %s\n", kestrum_last_error());
    return kExitFailed;
  }

  Server *server = nullptr;
  std::vector<ServerName> servers = o.servers;
  if (servers.empty()) {
    ServerConfig config;
    config.bind = o.family == Family::ipv6 ? "::1" : "127.0.0.1";
    config.port = 0;
    config.quiet = true;
    // The server ends a stream after max_stream_seconds; a long --duration must not be cut short.
    config.max_stream_seconds = std::max(config.max_stream_seconds, o.duration_ms / 1000 + 60);
    std::string why;
    server = server_start(config, &why);
    if (server == nullptr) {
      std::fprintf(stderr, "kestrum: cannot start the bundled server: %s\n", why.c_str());
      kestrum_cleanup();
      return kExitFailed;
    }
    servers.push_back({config.bind, server_port(server)});
    std::fprintf(stderr, "No server given: measuring against the bundled server on %s\n",
                 host_port_text(config.bind, server_port(server)).c_str());
    std::fflush(stderr);
  }

  // Resolved once: the library and the prober get the address, so that no figure includes the resolver.
  // --each measures every server in turn, the others the one chosen among them.
  std::vector<Target> targets;
  int status = kExitOk;
  const size_t groups = o.each ? servers.size() : 1;
  for (size_t i = 0; i < groups && !interrupted(); ++i) {
    const std::vector<ServerName> group = o.each ? std::vector<ServerName>{servers[i]} : servers;
    Target target;
    if (choose_target(o, group, &target)) {
      targets.push_back(target);
    } else if (!interrupted()) {
      // No server to measure is a failed run too, and a probe's graph should say so.
      write_metrics(o, server_label(group.front().host, group.front().port), false, RunReport());
      status = kExitFailed;
    }
  }
  if (interrupted()) {
    status = kExitCancelled;
  } else if (!targets.empty()) {
    g_stream.store(o.json_stream, std::memory_order_relaxed);
    g_selection.store(static_cast<int>(o.only), std::memory_order_relaxed);
    kestrum_set_tick(on_tick);
    status = run_series(o, targets, status);
    kestrum_set_tick(nullptr);
  }
  if (status == kExitCancelled) std::fputs("kestrum: Cancelled by user\n", stderr);

  // The measuring calls have returned, so no connection of ours is open; the server closes its own.
  if (server != nullptr) server_stop(server);
  kestrum_cleanup();
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  std::string error;
  switch (parse_options(argc, argv, &options, &error)) {
    case ParseOutcome::help:
      std::fputs(usage_text().c_str(), stdout);
      return kExitOk;
    case ParseOutcome::version:
      std::printf("kestrum %s\n", KESTRUM_VERSION);
      return kExitOk;
    case ParseOutcome::usage_error:
      std::fprintf(stderr, "kestrum: %s\nTry 'kestrum --help' for more information.\n", error.c_str());
      return kExitUsage;
    case ParseOutcome::run:
      break;
  }
  // Before any thread starts, so that the library's and the server's threads inherit what it sets up.
  term_watch_interrupts(on_interrupt);
  const int status = run(options);
  term_unwatch_interrupts();
  return status;
}
