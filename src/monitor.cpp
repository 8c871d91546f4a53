#include "monitor.h"

#include <atomic>
#include <cstdio>

#include "figures.h"
#include "kestrum_internal.h"
#include "platform.h"
#include "transport.h"

namespace {

thread_t g_tick_thread;
bool g_tick_thread_valid;
char g_tick_phase[16];
std::atomic<int> g_tick_cancel{0};
double g_tick_duration_s;
double g_tick_start;
std::atomic<uint64_t> g_tick_bytes{0};

// Advanced by every monitor_start. A thread that outlived its 500 ms stop wait (its host callback was
// slow) sees that its generation is over and ends without another report, so no earlier transfer ever
// reports into a later one, even though the later one has lowered g_tick_cancel again.
std::atomic<unsigned> g_tick_generation{0};

// Longest wait for the thread when the monitor stops; a host callback slower than this is left running.
constexpr int kStopWaitMs = 500;

// What a report of one monitor thread needs to know: the generation it was started for. The thread copies
// the start time and the planned seconds onto its own stack at its start, as they belong to the next
// transfer as soon as monitor_start runs again, possibly while this thread is still inside a slow
// callback. The label is not copied: the host gets g_tick_phase itself, which keeps its text until the next
// monitor_start (a copy on this thread's stack would die with the thread), and the generation check keeps
// a stale thread from reporting once that text has been rewritten.
struct MonitorRun {
  unsigned generation;
};

bool stop_requested(unsigned generation) {
  return g_tick_cancel.load(std::memory_order_relaxed) != 0 ||
         g_tick_generation.load(std::memory_order_relaxed) != generation;
}

uint64_t running_bytes(void *) { return g_tick_bytes.load(std::memory_order_relaxed); }

void report_tick(void *ctx, double rate_mbps, int percent) {
  const MonitorRun *run = static_cast<const MonitorRun *>(ctx);
  if (g_tick_generation.load(std::memory_order_relaxed) != run->generation) return;
  report_progress(g_tick_phase, rate_mbps, percent);
}

void tick_monitor_body(unsigned generation) {
  MonitorRun run{};
  run.generation = generation;
  const double start = g_tick_start;
  const double planned = g_tick_duration_s;
  const TickSink sink{running_bytes, report_tick, &run};

  double mark = start;
  if (stop_requested(generation)) return;
  for (;;) {
    // 100 ms in 5 ms slices, so that a stop request ends a waiting monitor within one slice.
    int remaining = 100;
    do {
      if (stop_requested(generation)) break;
      const int slice = remaining < 5 ? remaining : 5;
      remaining -= slice;
      sleep_ms(slice);
    } while (remaining > 0);
    if (stop_requested(generation)) return;

    if (monitor_cycle(now_us(), start, planned, &mark, sink)) return;
    if (stop_requested(generation)) return;
  }
}

thread_ret_t KS_THREAD_CALL tick_monitor_trampoline(void *arg) {
  tick_monitor_body(static_cast<unsigned>(reinterpret_cast<uintptr_t>(arg)));
  return 0;
}

}  // namespace

int tick_percent(double elapsed_seconds, double planned_seconds) {
  const int percent = static_cast<int>(elapsed_seconds / planned_seconds * 100);
  return percent > 100 ? 100 : percent;
}

bool monitor_cycle(double now, double start, double planned_seconds, double *mark, const TickSink &sink) {
  const double lag = now - *mark;
  if ((now - start) / 1000000 >= planned_seconds) {
    // Closing step: the planned duration is over. Outstanding nominal times are dropped; the closing tick
    // divides by the planned seconds, not by the time that has really passed.
    if (lag >= 90000) {
      const double rate = planned_seconds <= 0 ? 0.0 : rate_mbps(sink.bytes(sink.ctx), planned_seconds);
      sink.report(sink.ctx, rate, 100);
    }
    return true;
  }
  if (lag >= kTickPeriodUs) {
    // Catch-up after a late wake-up: one regular tick per nominal time, none skipped; the percent follows
    // the nominal time. The rate divides the bytes counted now by the time that has really passed now: a
    // tick is made at least 100 ms after its nominal time, and dividing by the nominal time would read a
    // steady 100 Mbit/s as 200 at the first tick and still 10% high after a second. The tick at nominal
    // time 0 stays the start report, rate 0.0.
    const double really = (now - start) / 1000000;
    do {
      const double elapsed = (*mark - start) / 1000000;
      const double rate = elapsed <= 0 ? 0.0 : rate_mbps(sink.bytes(sink.ctx), really);
      sink.report(sink.ctx, rate, tick_percent(elapsed, planned_seconds));
      *mark += kTickPeriodUs;
    } while (now - *mark >= kTickPeriodUs);
  }
  return false;
}

void monitor_publish_bytes(uint64_t total) { g_tick_bytes.store(total, std::memory_order_relaxed); }

void monitor_start(const char *label, double planned_seconds) {
  g_tick_bytes.store(0, std::memory_order_relaxed);
  g_tick_start = now_us();
  g_tick_duration_s = planned_seconds;
  std::snprintf(g_tick_phase, sizeof g_tick_phase, "%s", label);
  const unsigned generation = g_tick_generation.load(std::memory_order_relaxed) + 1;
  g_tick_generation.store(generation, std::memory_order_relaxed);
  g_tick_cancel.store(0, std::memory_order_relaxed);
  if (g_tick_thread_valid) {
    thread_wait_release(g_tick_thread, 0);
    g_tick_thread_valid = false;
  }
  g_tick_thread_valid = thread_start(&g_tick_thread, tick_monitor_trampoline,
                                     reinterpret_cast<void *>(static_cast<uintptr_t>(generation)));
}

void monitor_stop() {
  g_tick_cancel.store(1, std::memory_order_relaxed);
  if (g_tick_thread_valid) {
    thread_wait_release(g_tick_thread, kStopWaitMs);
    g_tick_thread_valid = false;
  }
}
