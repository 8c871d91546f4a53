// What one run's transfers did, on the command's own monotonic clock from the run's start: when each began
// and ended, and every progress report on the way. The check for a transfer the server ended early, the
// responsiveness (its goodput stage) and the plot read it; the stream's elapsed times use the same clock.
#pragma once

#include <vector>

#include "probe.h"

// One progress report of a transfer: when it came, and the rate it gave (Mbit/s, the library's average
// since the transfer's start) and its percent of the planned duration.
struct RatePoint {
  double t_s = 0;
  double mbps = 0;
  int percent = 0;
};

struct TransferTrace {
  bool started = false;
  bool ended = false;
  double start_s = 0;  // when the command began the transfer, before its connection was made
  double end_s = 0;    // when its first report at 100% came: the end of the transfer, or the planned time
  std::vector<RatePoint> reports;  // in the order they came, the final one included
};

// The run's start: the clock reads 0 from here, and every trace is empty.
void timeline_begin();

// Seconds since timeline_begin. Any thread.
double timeline_now_s();

// The transfer is about to start. The first call of a run counts; later ones change nothing.
void timeline_transfer_begins(LoadPhase transfer);

// One progress report of the transfer, from whichever thread the library delivers it on.
void timeline_report(LoadPhase transfer, double mbps, int percent);

// What the transfer did in this run.
TransferTrace timeline_trace(LoadPhase transfer);
