// The monitor's tick arithmetic on exact clock readings, and its thread's start, stop and label.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

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

TEST(MonitorThread, ReportsEveryHundredMillisecondsAndStopsPromptly) {
  // The reports follow the nominal times 0.0, 0.1, 0.2 s of a planned 10 s: 0, 1, 2 percent. How soon
  // they come depends on how busy the machine is, so the test waits for them (bounded) rather than
  // counting what a fixed sleep happened to see.
  Recorder::install();
  monitor_start("download", 10.0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (Recorder::reports().size() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const auto t0 = std::chrono::steady_clock::now();
  monitor_stop();
  const auto stop_took = std::chrono::steady_clock::now() - t0;
  const auto reports = Recorder::reports();
  ASSERT_GE(reports.size(), 3u);
  for (size_t k = 0; k < 3; ++k) EXPECT_EQ(reports[k].percent, static_cast<int>(k)) << k;
  EXPECT_LT(stop_took, std::chrono::milliseconds(100));
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
  kestrum_set_tick(nullptr);
  monitor_start("upload", 0.3);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const auto t0 = std::chrono::steady_clock::now();
  monitor_stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
}

}  // namespace
