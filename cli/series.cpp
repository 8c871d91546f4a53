#include "series.h"

#include <kestrum.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "events.h"
#include "exit_status.h"
#include "figures.h"
#include "interrupts.h"
#include "measure.h"
#include "progress.h"
#include "report.h"
#include "run_files.h"
#include "safe_text.h"
#include "term.h"
#include "timeline.h"

namespace {

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

// The series itself, with the library's progress reports taken.
int measure_series(const Options &o, const std::vector<Target> &targets, int status) {
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
      const Outcome outcome = measure_once(o, target.endpoint, &report);
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
      if (!o.plot_file.empty() && !write_plot(o, target.display, report)) status = kExitFailed;
      if (!report_success(o, target, series, run, summary_colour, report)) {
        std::fputs("kestrum: cannot write the results; stopping\n", stderr);
        return kExitFailed;
      }
    }
  }
  return status;
}

}  // namespace

int run_series(const Options &o, const std::vector<Target> &targets, int status) {
  measure_reports_begin(o);
  status = measure_series(o, targets, status);
  measure_reports_end();
  return status;
}
