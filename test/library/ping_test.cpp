// Ping: probe format, reply handling, sample bounds, progress and its failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "fake_server.h"
#include "kestrum.h"
#include "recorder.h"
#include "result_doc.h"

namespace {

std::string err() { return kestrum_last_error(); }

uint64_t probe_stamp(const std::string &probe) {
  uint64_t v = 0;
  for (int i = 8; i >= 1; --i) v = (v << 8) | static_cast<unsigned char>(probe[static_cast<size_t>(i)]);
  return v;
}

TEST(Ping, SamplesReportProgressAndFillTheRecord) {
  FakeServer server(fake::normal());
  kestrum_init();
  Recorder::install();
  const double rtt = kestrum_ping("127.0.0.1", server.port(), 3);
  ASSERT_GT(rtt, 0.0) << err();
  EXPECT_LT(rtt, 1000.0);

  // One report per sample on the calling thread, rate 0.0, percent k * 100 / count.
  const auto reports = Recorder::reports();
  ASSERT_EQ(reports.size(), 3u);
  const int percents[] = {33, 66, 100};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(reports[i].label, "ping");
    EXPECT_EQ(reports[i].rate, 0.0);
    EXPECT_EQ(reports[i].percent, percents[i]);
    EXPECT_EQ(reports[i].thread, std::this_thread::get_id());
  }
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_DOUBLE_EQ(d.ping_ms, rtt);
  EXPECT_GE(d.jitter_ms, 0.0);
  EXPECT_EQ(d.phase, "complete");
  EXPECT_EQ(d.duration_ms, 0);
}

TEST(Ping, EachSampleSendsOneProbeOnItsOwnConnection) {
  FakeServer server(fake::normal());
  kestrum_init();
  ASSERT_GT(kestrum_ping("127.0.0.1", server.port(), 4), 0.0) << err();
  server.wait_idle();
  const auto sent = server.received();
  ASSERT_EQ(sent.size(), 4u);
  uint64_t previous = 0;
  for (const std::string &probe : sent) {
    ASSERT_EQ(probe.size(), 9u);  // 'P' and 8 bytes, nothing more
    EXPECT_EQ(probe[0], 'P');
    // The stamp is the client's microsecond clock, little-endian: it grows from probe to probe.
    const uint64_t stamp = probe_stamp(probe);
    EXPECT_GT(stamp, previous);
    previous = stamp;
  }
}

TEST(Ping, SampleCountIsBoundedToOneThroughAThousand) {
  FakeServer server(fake::normal());
  kestrum_init();
  const struct {
    int count;
    size_t samples;
  } cases[] = {{0, 1}, {-7, 1}, {1001, 1000}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.count);
    Recorder::install();
    const int before = server.accepted();
    ASSERT_GT(kestrum_ping("127.0.0.1", server.port(), c.count), 0.0) << err();
    EXPECT_EQ(static_cast<size_t>(server.accepted() - before), c.samples);
  }
  // With 1000 samples the first nine reports carry 0 and the tenth 1.
  const auto reports = Recorder::reports();
  size_t last_run = reports.size() - 1000;
  EXPECT_EQ(reports[last_run + 8].percent, 0);
  EXPECT_EQ(reports[last_run + 9].percent, 1);
  EXPECT_EQ(reports.back().percent, 100);
  // A single sample has no jitter.
  kestrum_ping("127.0.0.1", server.port(), 1);
  EXPECT_EQ(parse_result(kestrum_result_json()).jitter_ms, 0.0);
}

TEST(Ping, LatencyAndJitterFollowTheReplies) {
  // Replies delayed 0, 100, 0 ms: two RTT differences of about 100 ms, so jitter about 100 ms. The bounds
  // leave room for a busy machine to slow the quick samples down.
  FakeServer server(fake::ping_delays({0, 100, 0}));
  kestrum_init();
  const double rtt = kestrum_ping("127.0.0.1", server.port(), 3);
  ASSERT_GT(rtt, 0.0) << err();
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_GE(d.ping_ms, 100.0 / 3);
  EXPECT_GE(d.jitter_ms, 60.0);
  EXPECT_LT(d.jitter_ms, 400.0);
}

TEST(Ping, ReplyInPiecesCompletesTheSample) {
  FakeServer server(fake::pieces(3));
  kestrum_init();
  EXPECT_GT(kestrum_ping("127.0.0.1", server.port(), 2), 0.0) << err();
}

TEST(Ping, MissingRepliesFailWithPingTimeout) {
  kestrum_init();
  {
    FakeServer closing(fake::close_at_once());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kestrum_ping("127.0.0.1", closing.port(), 3), -1.0);
    EXPECT_EQ(err(), "Ping timeout");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));  // not a 2 s wait
  }
  {
    FakeServer silent(fake::silent());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(kestrum_ping("127.0.0.1", silent.port(), 3), -1.0);
    EXPECT_EQ(err(), "Ping timeout");
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(1900));  // the 2000 ms receive limit ran out
    EXPECT_LT(waited, std::chrono::milliseconds(5000));
    EXPECT_EQ(parse_result(kestrum_result_json()).phase, "ping");
  }
}

TEST(Ping, TwoSecondsAreForTheWholeReplyNotForEachPiece) {
  // One reply byte every 500 ms: every receive gets data well within 2 s, but the reply as a whole would
  // take 4 s.
  FakeServer server(fake::throttled_reply(500));
  kestrum_init();
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(kestrum_ping("127.0.0.1", server.port(), 1), -1.0);
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(err(), "Ping timeout");
  EXPECT_GE(waited, std::chrono::milliseconds(1900));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, "ping");
}

TEST(Ping, FailureInSampleFiveKeepsEarlierResultsAndReports) {
  FakeServer server(fake::fail_on(7, fake::close_at_once()));  // 2 for the first test, then sample 5
  kestrum_init();
  ASSERT_GT(kestrum_ping("127.0.0.1", server.port(), 2), 0.0);
  const ResultDoc before = parse_result(kestrum_result_json());
  Recorder::install();
  EXPECT_EQ(kestrum_ping("127.0.0.1", server.port(), 10), -1.0);
  EXPECT_EQ(err(), "Ping timeout");
  const ResultDoc after = parse_result(kestrum_result_json());
  EXPECT_EQ(after.ping_ms, before.ping_ms);
  EXPECT_EQ(after.jitter_ms, before.jitter_ms);
  EXPECT_EQ(after.phase, "ping");
  const auto reports = Recorder::reports();
  ASSERT_EQ(reports.size(), 4u);
  EXPECT_EQ(reports.back().percent, 40);
}

TEST(Ping, UnreachableServerGivesTheConnectMessage) {
  const int port = unused_port();
  kestrum_init();
  EXPECT_EQ(kestrum_ping("127.0.0.1", port, 3), -1.0);
  EXPECT_EQ(err(), "Connect failed to 127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, "ping");

  // An address that never answers: the 3 s limit runs out, and the message names its 3000 ms.
  UnansweredPort silent;
  ASSERT_TRUE(silent.ok());
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(kestrum_ping("127.0.0.1", silent.port(), 3), -1.0);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2900));
  EXPECT_EQ(err(), "Connect timeout after 3000 ms to 127.0.0.1:" + std::to_string(silent.port()));
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, "ping");
}

TEST(Ping, CancelDuringSamplesEndsWithErrorPhase) {
  FakeServer server(fake::normal());
  kestrum_init();
  // Cancelled from the report of sample 3 of 10: the loop stops before sample 4.
  Recorder::install([](const Report &r) {
    if (r.percent == 30) kestrum_cancel();
  });
  EXPECT_EQ(kestrum_ping("127.0.0.1", server.port(), 10), -1.0);
  EXPECT_EQ(err(), "Cancelled by user");
  EXPECT_EQ(server.accepted(), 3);
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_EQ(d.phase, "error");
  EXPECT_EQ(d.ping_ms, 0.0);

  // Cancelled during the last sample: the test still fails.
  kestrum_init();
  Recorder::install([](const Report &r) {
    if (r.percent == 100) kestrum_cancel();
  });
  EXPECT_EQ(kestrum_ping("127.0.0.1", server.port(), 2), -1.0);
  EXPECT_EQ(err(), "Cancelled by user");
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, "error");
}

TEST(Ping, CancelFromAnotherThreadEndsWithinASample) {
  FakeServer server(fake::ping_delays(std::vector<int>(1000, 20)));
  kestrum_init();
  std::thread canceller([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    kestrum_cancel();
  });
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(kestrum_ping("127.0.0.1", server.port(), 1000), -1.0);
  const auto took = std::chrono::steady_clock::now() - t0;
  canceller.join();
  EXPECT_EQ(err(), "Cancelled by user");
  EXPECT_LT(took, std::chrono::milliseconds(2000));
  EXPECT_LT(server.accepted(), 100);
}

}  // namespace
