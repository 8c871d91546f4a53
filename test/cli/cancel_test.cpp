// Interrupting the command: SIGINT or SIGTERM cancels the measurement, and the command ends promptly with
// status 130 and "Cancelled by user", whatever it was doing.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli_process.h"
#include "cli_support.h"
#include "fake_server.h"

namespace {

size_t count_results(const std::string &stream) {
  size_t n = 0;
  for (size_t at = stream.find("\"type\":\"result\""); at != std::string::npos;
       at = stream.find("\"type\":\"result\"", at + 1)) {
    ++n;
  }
  return n;
}

struct CancelCase {
  const char *what;
  std::vector<std::string> args;
  const char *wait_for;      // a fragment of the --json-stream output that says the run is where it should be
  std::vector<int> signals;  // sent 50 ms apart
  const char *says;          // on stderr
};

const CancelCase kCancelCases[] = {
    {"idle baseline",
     {"--only", "download", "-t", "60"},
     "\"test\":\"idle\"",
     {SIGINT},
     "kestrum: Cancelled by user\n"},
    {"download",
     {"--only", "download", "-t", "60"},
     "\"test\":\"download\"",
     {SIGINT},
     "kestrum: Cancelled by user\n"},
    {"upload",
     {"--only", "upload", "-t", "60"},
     "\"test\":\"upload\"",
     {SIGINT},
     "kestrum: Cancelled by user\n"},
    {"full run, upload", {"-t", "2"}, "\"test\":\"upload\"", {SIGTERM}, "kestrum: Cancelled by user\n"},
    {"between runs",
     {"--repeat", "0", "--interval", "60", "--only", "ping", "--count", "1"},
     "\"type\":\"result\"",
     {SIGINT},
     "kestrum: Cancelled by user\n"},
    // A second interrupt may end the command before the run has wound down; either way it is 130.
    {"twice", {"--only", "download", "-t", "60"}, "\"test\":\"download\"", {SIGINT, SIGINT}, "kestrum: "},
};

TEST(Cancel, InterruptEndsWith130AndCancelledByUser) {
  for (const auto &c : kCancelCases) {
    SCOPED_TRACE(c.what);
    CliLaunch launch;
    launch.args = c.args;
    launch.args.push_back("--json-stream");
    CliProcess p(launch);
    ASSERT_TRUE(p.started());
    ASSERT_TRUE(p.wait_for(c.wait_for, false, 20000)) << p.out() << p.err();
    const size_t results_before = count_results(p.out());

    for (size_t i = 0; i < c.signals.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      p.send_signal(c.signals[i]);
    }
    ASSERT_TRUE(p.finish(3000)) << "still running 3 s after the interrupt; stderr: " << p.err();
    EXPECT_EQ(p.exit_code(), 130);
    EXPECT_NE(p.err().find(c.says), std::string::npos) << p.err();
    EXPECT_EQ(count_results(p.out()), results_before) << "a cancelled run prints no result";
  }
}

TEST(Cancel, InterruptDuringAPingReplyEndsTheCommandAtOnce) {
  // The server drips each ping reply, one byte every 1.5 s: a reply would take 12 s, and the wait for it
  // 2 s before it fails. The interrupt must end the wait itself.
  FakeServer server(fake::throttled_reply(1500));
  ASSERT_TRUE(server.ok());
  CliLaunch launch;
  launch.args = {"127.0.0.1", "--port", std::to_string(server.port()), "--only", "ping", "--json"};
  CliProcess p(launch);
  ASSERT_TRUE(p.started());
  for (int i = 0; i < 1000 && server.accepted() == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_GT(server.accepted(), 0) << p.err();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  p.send_signal(SIGINT);
  ASSERT_TRUE(p.finish(1000)) << "still running 1 s after the interrupt; stderr: " << p.err();
  EXPECT_EQ(p.exit_code(), 130);
  EXPECT_NE(p.err().find("kestrum: Cancelled by user\n"), std::string::npos) << p.err();
}

}  // namespace
