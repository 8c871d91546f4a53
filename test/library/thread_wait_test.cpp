// The monitor's bounded stop wait must hold on a clock that never steps. This executable replaces
// clock_gettime so that the wall clock can be "set back" while a wait runs, as NTP or an administrator
// does; the monotonic clock keeps the kernel's reading.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

#include "platform.h"

namespace {

std::atomic<long> g_wall_step_s{0};  // added to CLOCK_REALTIME readings while non-zero

long real_clock(clockid_t id, timespec *ts) { return syscall(SYS_clock_gettime, id, ts); }

double monotonic_s() {
  timespec ts{};
  real_clock(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::atomic<bool> g_release{false};

thread_ret_t KS_THREAD_CALL wait_for_release(void *) {
  while (!g_release.load()) sleep_ms(5);
  return 0;
}

}  // namespace

extern "C" int clock_gettime(clockid_t id, timespec *ts) {
  const long rc = real_clock(id, ts);
  if (rc == 0 && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) ts->tv_sec += g_wall_step_s.load();
  return static_cast<int>(rc);
}

TEST(ThreadWait, BoundHoldsWhenTheWallClockStepsBack) {
  // A wall clock an hour behind would put a wall-clock deadline an hour in the past: the wait would give
  // up at once while the thread still runs. Ahead, it would wait an hour.
  thread_t t{};
  ASSERT_TRUE(thread_start(&t, wait_for_release, nullptr));
  g_wall_step_s = -3600;
  const double t0 = monotonic_s();
  thread_wait_release(t, 300);
  const double waited = monotonic_s() - t0;
  g_wall_step_s = 0;
  g_release = true;
  EXPECT_GE(waited, 0.29);
  EXPECT_LT(waited, 5.0);
  sleep_ms(50);  // the detached thread ends on its own
}

TEST(ThreadWait, ReturnsAsSoonAsTheThreadEnds) {
  thread_t t{};
  g_release = true;
  ASSERT_TRUE(thread_start(&t, wait_for_release, nullptr));
  const double t0 = monotonic_s();
  thread_wait_release(t, 5000);
  EXPECT_LT(monotonic_s() - t0, 2.5);
}
