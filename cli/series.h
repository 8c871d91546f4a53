// The run series: every target measured in turn, --repeat times with --interval between, and each run's
// outcome printed (summary, --json or the event stream) and written to the run's files (run_files.h).
#pragma once

#include <vector>

#include "options.h"
#include "server_choice.h"

// Measures the targets in turn, --repeat times; status is what came before (a server of --each that did
// not resolve). One failed run or server does not end the series. Returns the exit status: kExitCancelled
// at an interrupt, kExitFailed when any run failed or a file could not be written, status otherwise.
int run_series(const Options &o, const std::vector<Target> &targets, int status);
