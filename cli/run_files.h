// What each run leaves in files beside its printed result: the metrics file (--metrics-file, counted over
// the process or, with --state-file, over the state: state.h) and the drawing of the run (--plot).
#pragma once

#include <string>

#include "options.h"
#include "report.h"

// Checks that the metrics and state files can be written, before anything is measured: a run must not be
// wasted on a path that cannot be written. false, with the reason on stderr, when one cannot. Does
// nothing without --metrics-file.
bool run_files_open(const Options &o);

// Records one run's outcome against server label (server_label) and rewrites the metrics file; false when
// it or the state cannot be written (the reason is on stderr), so that a service sees the failure. The
// figures are read from the library's last result when ok. Does nothing without --metrics-file.
bool write_metrics(const Options &o, const std::string &label, bool ok, const RunReport &report);

// Draws the run just measured into --plot's file, titled with the server as display names it; false when it
// cannot be written (the reason is on stderr).
bool write_plot(const Options &o, const std::string &display, const RunReport &report);
