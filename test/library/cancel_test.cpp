// How soon kestrum_cancel from another thread ends a measuring call, wherever the call is waiting: for a
// connection, for a ping reply, or inside a transfer. Every wait looks at the flag every few milliseconds,
// so the call returns "Cancelled by user" long before any of its own limits would end it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "fake_server.h"
#include "kestrum.h"
#include "recorder.h"
#include "result_doc.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string err() { return kestrum_last_error(); }

// The calls, with arguments that keep each one busy for far longer than the test waits.
enum class Call { ping, download, upload, run_all };
double call(Call c, int port) {
  switch (c) {
    case Call::ping:
      return kestrum_ping("127.0.0.1", port, 5);
    case Call::download:
      return kestrum_download("127.0.0.1", port, 10000);
    case Call::upload:
      return kestrum_upload("127.0.0.1", port, 10000);
    case Call::run_all:
      break;
  }
  return kestrum_run_all("127.0.0.1", port, 10000);
}

// How long a call may take to return once the flag is raised. The waits look at it every few
// milliseconds and a transfer call lasts at most 20 ms; the rest is room for a loaded machine and the
// sanitizers. Without the looks, the connection wait runs on for its 3 s and the reply wait for its 2 s.
constexpr int kReturnAfterCancelMs = 1000;

struct CancelCase {
  const char *name;
  Call call;
  std::function<Script()> server;  // null: a port that never answers a connection attempt
};
void PrintTo(const CancelCase &c, std::ostream *os) { *os << c.name; }

class CancelReaches : public testing::TestWithParam<CancelCase> {};

TEST_P(CancelReaches, EveryWaitWithinAFewMilliseconds) {
  const CancelCase &c = GetParam();
  std::unique_ptr<FakeServer> server;
  std::unique_ptr<UnansweredPort> unanswered;
  int port = 0;
  if (c.server) {
    server = std::make_unique<FakeServer>(c.server());
    ASSERT_TRUE(server->ok());
    port = server->port();
  } else {
    unanswered = std::make_unique<UnansweredPort>();
    ASSERT_TRUE(unanswered->ok());
    port = unanswered->port();
  }
  kestrum_init();
  std::atomic<int64_t> cancelled_at{0};
  std::thread canceller([&cancelled_at] {
    std::this_thread::sleep_for(milliseconds(300));
    cancelled_at = Clock::now().time_since_epoch().count();
    kestrum_cancel();
  });
  const double value = call(c.call, port);
  const auto returned = Clock::now();
  canceller.join();
  const Clock::time_point cancel(Clock::duration(cancelled_at.load()));
  const double after_ms = std::chrono::duration<double, std::milli>(returned - cancel).count();

  EXPECT_EQ(value, -1.0);
  EXPECT_EQ(err(), "Cancelled by user");
  EXPECT_GE(after_ms, 0.0) << "returned before the cancel";
  EXPECT_LT(after_ms, kReturnAfterCancelMs);
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, "error");
}

const CancelCase kCases[] = {
    {"ping_connecting", Call::ping, nullptr},
    {"download_connecting", Call::download, nullptr},
    {"upload_connecting", Call::upload, nullptr},
    {"full_run_connecting", Call::run_all, nullptr},
    {"ping_awaiting_a_silent_reply", Call::ping, [] { return fake::silent(); }},
    {"ping_awaiting_a_dripping_reply", Call::ping, [] { return fake::throttled_reply(500); }},
    {"full_run_awaiting_a_silent_reply", Call::run_all, [] { return fake::silent(); }},
    {"download_flowing", Call::download, [] { return fake::normal(); }},
    {"download_with_nothing_arriving", Call::download, [] { return fake::silent(); }},
    {"upload_flowing", Call::upload, [] { return fake::normal(); }},
    {"upload_to_a_server_that_stopped_reading", Call::upload, [] { return fake::stop_reading(); }},
};
INSTANTIATE_TEST_SUITE_P(Waits, CancelReaches, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<CancelCase> &i) {
                           return std::string(i.param.name);
                         });

TEST(CancelReaches, ATransferWhoseCallbackIsSlowWaitsOutTheMonitorsStopWait) {
  // The host's callback on the monitor thread takes 2 s. The transfer sees the cancel at once, but then
  // waits up to 500 ms for the monitor thread before it lets go of it.
  FakeServer server(fake::normal());
  kestrum_init();
  std::atomic<int64_t> cancelled_at{0};
  const std::thread::id caller = std::this_thread::get_id();
  Recorder::install([&cancelled_at, caller](const Report &r) {
    if (r.thread == caller || cancelled_at.load() != 0) return;
    cancelled_at = Clock::now().time_since_epoch().count();
    kestrum_cancel();
    std::this_thread::sleep_for(milliseconds(2000));
  });
  const double value = kestrum_download("127.0.0.1", server.port(), 10000);
  const auto returned = Clock::now();
  // The monitor thread the transfer let go of is still in the hook, which uses this test's locals.
  ASSERT_TRUE(Recorder::wait_idle(5000));
  EXPECT_EQ(value, -1.0);
  EXPECT_EQ(err(), "Cancelled by user");
  ASSERT_NE(cancelled_at.load(), 0);
  const Clock::time_point cancel(Clock::duration(cancelled_at.load()));
  const double after_ms = std::chrono::duration<double, std::milli>(returned - cancel).count();
  EXPECT_GE(after_ms, 480.0);
  EXPECT_LT(after_ms, 500.0 + kReturnAfterCancelMs);
}

}  // namespace
