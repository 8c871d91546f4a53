// The progress monitor: a thread that reports a running transfer to the host's callback every 100 ms.
#pragma once

#include <cstdint>

// Starts the monitor for a transfer of planned_seconds, labelled label (cut to 15 characters), and resets
// the running byte count. A monitor thread of an earlier transfer that is still alive never reports again.
void monitor_start(const char *label, double planned_seconds);

// Stops the monitor: asks the thread to end, waits at most 500 ms for it, and lets go of it either way.
// Safe to call when no monitor runs.
void monitor_stop();

// The transfer's running total of bytes moved; one relaxed store per chunk.
void monitor_publish_bytes(uint64_t total);

// --- tick arithmetic, free of clocks and threads, so it can be checked against exact figures ----------

constexpr double kTickPeriodUs = 100000.0;

// Share of the planned duration in percent, truncated, at most 100.
int tick_percent(double elapsed_seconds, double planned_seconds);

// Where one wake-up of the monitor delivers its reports.
struct TickSink {
  uint64_t (*bytes)(void *ctx);                              // the running total, read at each report
  void (*report)(void *ctx, double rate_mbps, int percent);  // one report
  void *ctx;
};

// One cycle of the monitor at clock reading now (microseconds). Makes the regular ticks that are due,
// one per 100 ms of nominal time since *mark (advancing *mark by 100 ms for each), or, once the planned
// duration has passed, the closing tick if the last cycle is at least 90 ms old. Returns true when the
// monitor has finished.
bool monitor_cycle(double now, double start, double planned_seconds, double *mark, const TickSink &sink);
