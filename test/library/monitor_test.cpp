// The monitor's tick arithmetic on exact clock readings, and its thread's start, stop and label.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <system_error>
#endif

#include "figures.h"
#include "kestrum.h"
#include "monitor.h"
#include "recorder.h"

namespace {

struct Tick {
  double rate;
  int percent;
};

// A transfer at a constant byte rate, seen by monitor_cycle at chosen clock readings.
struct FakeTransfer {
  FakeTransfer(double start, double rate) : start_us(start), bytes_per_us(rate) {}
  double start_us;
  double bytes_per_us;
  double clock_us = 0;  // the clock reading of the cycle being run
  std::vector<Tick> ticks;

  static uint64_t bytes(void *ctx) {
    auto *t = static_cast<FakeTransfer *>(ctx);
    return static_cast<uint64_t>((t->clock_us - t->start_us) * t->bytes_per_us);
  }
  static void report(void *ctx, double rate, int percent) {
    static_cast<FakeTransfer *>(ctx)->ticks.push_back({rate, percent});
  }
  // Runs cycles that wake every period_us until the monitor finishes; returns the number of cycles.
  int run(double planned_s, double period_us) {
    const TickSink sink{bytes, report, this};
    double mark = start_us;
    for (int cycle = 1; cycle < 1000; ++cycle) {
      clock_us = start_us + cycle * period_us;
      if (monitor_cycle(clock_us, start_us, planned_s, &mark, sink)) return cycle;
    }
    return -1;
  }
};

constexpr double k100Mbit = 12.5;  // bytes per microsecond

TEST(MonitorTicks, SteadyHundredMillisecondCycles) {
  FakeTransfer t(5e9, k100Mbit);
  EXPECT_EQ(t.run(1.0, 100000), 10);
  // Nominal times 0.0 .. 0.8 s, then the closing tick of the cycle that ends at 1.0 s.
  ASSERT_EQ(t.ticks.size(), 10u);
  EXPECT_EQ(t.ticks[0].rate, 0.0);
  EXPECT_EQ(t.ticks[0].percent, 0);
  // Each tick comes 100 ms after its nominal time; its rate is the stream's own, not the bytes of the
  // moment over the shorter nominal time (which would read 200, 150, 133 ...).
  for (size_t k = 1; k <= 8; ++k) {
    SCOPED_TRACE(k);
    EXPECT_NEAR(t.ticks[k].rate, 100.0, 0.01);
    EXPECT_NEAR(t.ticks[k].percent, static_cast<int>(k) * 10, 1);
  }
  EXPECT_NEAR(t.ticks[9].rate, 100.0, 0.01);
  EXPECT_EQ(t.ticks[9].percent, 100);
}

TEST(MonitorTicks, LateWakeUpsCatchUpWithoutSkippingANominalTime) {
  FakeTransfer t(1e6, k100Mbit);
  t.run(1.0, 250000);
  // Cycles at 0.25, 0.5, 0.75 s make ticks for 0.0-0.1, 0.2-0.4, 0.5-0.6; the 1.0 s cycle closes.
  ASSERT_EQ(t.ticks.size(), 8u);
  for (size_t k = 0; k < 7; ++k) EXPECT_NEAR(t.ticks[k].percent, static_cast<int>(k) * 10, 1) << k;
  for (size_t k = 1; k < 7; ++k) EXPECT_NEAR(t.ticks[k].rate, 100.0, 0.01) << k;  // late, yet true
  EXPECT_EQ(t.ticks.back().percent, 100);
}

TEST(MonitorTicks, ShortPlanGivesOnlyTheClosingTick) {
  FakeTransfer t(0, 1.0);
  EXPECT_EQ(t.run(0.05, 100000), 1);
  ASSERT_EQ(t.ticks.size(), 1u);
  EXPECT_EQ(t.ticks[0].percent, 100);
  EXPECT_DOUBLE_EQ(t.ticks[0].rate, 100000 * 8 / 1e6 / 0.05);  // bytes over the planned seconds
}

TEST(MonitorTicks, ClosingTickDividesByThePlannedSeconds) {
  // 1,000,000 bytes over a planned 0.5 s is 16.0 Mbit/s, whenever the cycle wakes.
  struct Fixed {
    static uint64_t bytes(void *) { return 1000000; }
    static void report(void *ctx, double rate, int percent) {
      static_cast<std::vector<Tick> *>(ctx)->push_back({rate, percent});
    }
  };
  std::vector<Tick> ticks;
  const TickSink sink{Fixed::bytes, Fixed::report, &ticks};
  double mark = 400000;
  EXPECT_TRUE(monitor_cycle(1700000, 0, 0.5, &mark, sink));
  ASSERT_EQ(ticks.size(), 1u);
  EXPECT_DOUBLE_EQ(ticks[0].rate, 16.0);
  EXPECT_EQ(ticks[0].percent, 100);

  // A cycle less than 90 ms after the last regular tick closes without a report.
  ticks.clear();
  mark = 450000;
  EXPECT_TRUE(monitor_cycle(520000, 0, 0.5, &mark, sink));
  EXPECT_TRUE(ticks.empty());
}

TEST(MonitorTicks, RateAndPercentEdges) {
  EXPECT_EQ(rate_mbps(123, 0.0), 0.0);
  EXPECT_EQ(rate_mbps(123, -1.0), 0.0);
  // A count of 2^63 is unsigned: the rate stays positive.
  EXPECT_NEAR(rate_mbps(uint64_t{1} << 63, 1.0), 73786976294838.2, 1.0);
  EXPECT_EQ(tick_percent(3.0, 1.0), 100);
  EXPECT_EQ(tick_percent(0.0999, 1.0), 9);  // truncated
}

// How promptly a stop ends the monitor is a matter of the monitor's own wait, not of the clock: a busy
// machine stretches every sleep and every wake-up, so a stop timed on the clock says more about the
// machine than about the monitor (100 ms was missed at a load average of 15). What the monitor promises is
// counted instead: it waits in slices of at most 5 ms and looks at the stop request before each, so once
// the stop has asked, the monitor begins at most one more slice (it may have looked just before the
// request) and then ends, and the stop joins it rather than giving up after its 500 ms and leaving it
// running. Linux counts the slices by standing in for nanosleep (each call is passed on unchanged to the
// kernel) and sees the thread go in /proc/self/task; elsewhere only the join's outcome is left to check.
#if defined(__linux__)
std::atomic<bool> g_counting{false};      // the monitor's sleeps are counted while a test has this raised
std::atomic<std::thread::id> g_tester;    // the test's own thread, whose sleeps are not the monitor's
std::atomic<bool> g_in_stop{false};       // the test's thread is inside monitor_stop
std::atomic<bool> g_stop_waiting{false};  // the stop has begun its wait for the monitor
std::atomic<int> g_monitor_sleeps{0};     // sleeps the monitor thread asked for while counting
std::atomic<int> g_longest_sleep_us{0};   // the longest of them
std::atomic<int> g_sleeps_after_stop{0};  // of them, those begun once the stop was waiting

int thread_count() {
  std::error_code ec;
  std::filesystem::directory_iterator it("/proc/self/task", ec);
  int n = 0;
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) ++n;
  return ec ? -1 : n;
}
#endif

// What one stop did, in the monitor's own terms.
struct StopCount {
  int monitor_sleeps = 0;     // slices the monitor asked for while it ran
  int longest_sleep_us = 0;   // the longest slice it asked for
  int sleeps_after_stop = 0;  // slices begun after the stop was already waiting for it
  bool joined = false;        // the monitor thread was gone when the stop returned
  bool counted = false;       // the platform could count (Linux)
  double stop_ms = 0;         // how long monitor_stop took, on the clock
};

// monitor_start, then wait_for() (the test's own wait), then monitor_stop, counting the monitor's sleeps.
template <typename Wait>
StopCount run_and_stop(const char *label, double planned_seconds, Wait wait_for) {
  StopCount c;
#if defined(__linux__)
  g_monitor_sleeps = 0;
  g_longest_sleep_us = 0;
  g_sleeps_after_stop = 0;
  g_stop_waiting = false;
  g_tester = std::this_thread::get_id();
  g_counting = true;
#endif
  monitor_start(label, planned_seconds);
  wait_for();
#if defined(__linux__)
  // Counted while the monitor runs: a sanitizer's runtime may start a thread of its own with the first.
  const int threads_running = thread_count();
  g_in_stop = true;
#endif
  const auto t0 = std::chrono::steady_clock::now();
  monitor_stop();
  c.stop_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
#if defined(__linux__)
  g_in_stop = false;
  c.joined = threads_running > 0 && thread_count() == threads_running - 1;
  g_counting = false;
  c.monitor_sleeps = g_monitor_sleeps.load();
  c.longest_sleep_us = g_longest_sleep_us.load();
  c.sleeps_after_stop = g_sleeps_after_stop.load();
  c.counted = true;
#endif
  return c;
}

void expect_prompt_stop(const StopCount &c) {
  if (!c.counted) {
    // Nothing counted here: the stop must at least have ended the monitor before its 500 ms wait ran out.
    EXPECT_LT(c.stop_ms, 500.0) << "the stop waited out its bound";
    return;
  }
  EXPECT_GT(c.monitor_sleeps, 0) << "the monitor's sleeps were not counted";
  EXPECT_LE(c.longest_sleep_us, 5000) << "the monitor waits in one piece longer than a 5 ms slice";
  EXPECT_LE(c.sleeps_after_stop, 1) << "the monitor slept on after the stop request";
  EXPECT_TRUE(c.joined) << "the stop let go of a monitor thread that was still running";
}

TEST(MonitorThread, ReportsEveryHundredMillisecondsAndStopsPromptly) {
  // The reports follow the nominal times 0.0, 0.1, 0.2 s of a planned 10 s: 0, 1, 2 percent. How soon
  // they come depends on how busy the machine is, so the test waits for them (bounded) rather than
  // counting what a fixed sleep happened to see.
  Recorder::install();
  const StopCount stop = run_and_stop("download", 10.0, [] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Recorder::reports().size() < 3 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  });
  const auto reports = Recorder::reports();
  ASSERT_GE(reports.size(), 3u);
  for (size_t k = 0; k < 3; ++k) EXPECT_EQ(reports[k].percent, static_cast<int>(k)) << k;
  expect_prompt_stop(stop);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(Recorder::reports().size(), reports.size());  // nothing after the stop
  monitor_stop();                                         // a second stop is harmless
}

TEST(MonitorThread, LabelIsCutToFifteenCharactersAndPublishedBytesAreUsed) {
  // A planned 0.05 s is over at the monitor's first cycle, which makes the closing tick and ends the
  // thread. How soon that comes depends on how busy the machine is, so the test waits for it (bounded)
  // rather than counting what a fixed sleep happened to see. The stop then joins the thread, after which
  // no report can follow.
  Recorder::install();
  monitor_start("a-label-longer-than-fifteen", 0.05);
  monitor_publish_bytes(500000);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Recorder::reports().empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  monitor_stop();
  const auto reports = Recorder::reports();
  ASSERT_EQ(reports.size(), 1u);  // the closing tick only
  EXPECT_EQ(reports[0].label, "a-label-longer-");
  EXPECT_DOUBLE_EQ(reports[0].rate, 500000 * 8 / 1e6 / 0.05);
  EXPECT_EQ(reports[0].percent, 100);
}

TEST(MonitorThread, RunsWithoutACallback) {
  // A planned 10 s, so that the stop finds the monitor still running however late its cycles come.
  kestrum_set_tick(nullptr);
  const StopCount stop =
      run_and_stop("upload", 10.0, [] { std::this_thread::sleep_for(std::chrono::milliseconds(150)); });
  expect_prompt_stop(stop);
}

}  // namespace

#if defined(__linux__)
// Stands in for the C library's nanosleep in this test program: every call goes on to the kernel as it
// came, and while a monitor test counts, the monitor thread's calls are counted on the way. The library's
// sleep_ms and the join's 1 ms polls inside monitor_stop both come here.
extern "C" int nanosleep(const timespec *req, timespec *rem) {
  if (g_counting.load()) {
    if (std::this_thread::get_id() == g_tester.load()) {
      // The stop raises the request first and then polls its join in 1 ms sleeps: from its first sleep
      // on, the request is out.
      if (g_in_stop.load()) g_stop_waiting = true;
    } else if (req != nullptr) {
      const int us = static_cast<int>(req->tv_sec * 1000000 + req->tv_nsec / 1000);
      g_monitor_sleeps.fetch_add(1);
      int longest = g_longest_sleep_us.load();
      while (us > longest && !g_longest_sleep_us.compare_exchange_weak(longest, us)) {
      }
      if (g_stop_waiting.load()) g_sleeps_after_stop.fetch_add(1);
    }
  }
  const long rc = syscall(SYS_nanosleep, req, rem);
  return static_cast<int>(rc);
}
#endif
