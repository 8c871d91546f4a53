// The full run: order of stages and reports, the record they share, and where cancel and failure end it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "fake_server.h"
#include "kestrum.h"
#include "recorder.h"
#include "result_doc.h"

namespace {

using std::chrono::milliseconds;
std::string err() { return kestrum_last_error(); }

// How many connections of the server opened with each command.
int commands(const FakeServer &s, char c) {
  int n = 0;
  for (const std::string &r : s.received())
    if (!r.empty() && r[0] == c) ++n;
  return n;
}

TEST(FullRun, FillsAllFourResultsWithReportsInOrder) {
  FakeServer server(fake::normal());
  kestrum_init();
  Recorder::install();
  ASSERT_EQ(kestrum_run_all("127.0.0.1", server.port(), 300), 0) << err();
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_EQ(d.keys, result_keys());
  EXPECT_GT(d.ping_ms, 0.0);
  EXPECT_GE(d.jitter_ms, 0.0);
  EXPECT_GT(d.download_mbps, 0.0);
  EXPECT_GT(d.upload_mbps, 0.0);
  EXPECT_EQ(d.duration_ms, 300);
  EXPECT_EQ(d.phase, "complete");
  server.wait_idle();
  EXPECT_EQ(commands(server, 'P'), 10);
  EXPECT_EQ(commands(server, 'D'), 1);
  EXPECT_EQ(commands(server, 'U'), 1);

  // Reports: ten pings (10..100), download ticks then its final report, upload ticks then its final
  // report, and ("complete", 0.0, 100) last, on the calling thread.
  const auto reports = Recorder::reports();
  ASSERT_GT(reports.size(), 14u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(reports[static_cast<size_t>(i)].label, "ping");
    EXPECT_EQ(reports[static_cast<size_t>(i)].percent, (i + 1) * 10);
  }
  const std::string order[] = {"ping", "download", "upload", "complete"};
  size_t stage = 0;
  for (const Report &r : reports) {
    while (stage < 4 && r.label != order[stage]) ++stage;
    ASSERT_LT(stage, 4u) << "report out of order: " << r.label;
  }
  const Report &last = reports.back();
  EXPECT_EQ(last.label, "complete");
  EXPECT_EQ(last.rate, 0.0);
  EXPECT_EQ(last.percent, 100);
  EXPECT_EQ(last.thread, std::this_thread::get_id());
  EXPECT_DOUBLE_EQ(Recorder::with_label("download").back().rate, d.download_mbps);
  EXPECT_DOUBLE_EQ(Recorder::with_label("upload").back().rate, d.upload_mbps);
}

TEST(FullRun, CancelDuringDownloadSkipsTheUploadAndKeepsItsResult) {
  FakeServer server(fake::normal());
  kestrum_init();
  ASSERT_GT(kestrum_upload("127.0.0.1", server.port(), 100), 0.0) << err();
  const double earlier_upload = parse_result(kestrum_result_json()).upload_mbps;
  Recorder::install([](const Report &r) {
    if (r.label == "download" && r.percent >= 10) kestrum_cancel();
  });
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(kestrum_run_all("127.0.0.1", server.port(), 5000), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, milliseconds(4000));
  EXPECT_EQ(err(), "Cancelled by user");
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_EQ(d.phase, "error");
  EXPECT_GT(d.ping_ms, 0.0);
  EXPECT_DOUBLE_EQ(d.upload_mbps, earlier_upload);
  server.wait_idle();
  EXPECT_EQ(commands(server, 'U'), 1);  // only the upload before the run
  EXPECT_TRUE(Recorder::with_label("complete").empty());
}

TEST(FullRun, CancelDuringPingStartsNoTransfer) {
  FakeServer server(fake::normal());
  kestrum_init();
  Recorder::install([](const Report &r) {
    if (r.label == "ping" && r.percent == 50) kestrum_cancel();
  });
  EXPECT_EQ(kestrum_run_all("127.0.0.1", server.port(), 300), -1);
  EXPECT_EQ(err(), "Cancelled by user");
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, "error");
  server.wait_idle();
  EXPECT_EQ(commands(server, 'D') + commands(server, 'U'), 0);
}

TEST(FullRun, CancelAfterTheLastStageStillFailsTheRunAsCancelled) {
  FakeServer server(fake::normal());
  kestrum_init();
  // Raised while the upload's own final report runs: the upload has stored its result already and looks
  // at the flag no more, so the run itself must say why it failed.
  const auto caller = std::this_thread::get_id();
  Recorder::install([caller](const Report &r) {
    if (r.label == "upload" && r.thread == caller) kestrum_cancel();
  });
  EXPECT_EQ(kestrum_run_all("127.0.0.1", server.port(), 200), -1);
  EXPECT_EQ(err(), "Cancelled by user");
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_EQ(d.phase, "error");
  EXPECT_GT(d.upload_mbps, 0.0);
  EXPECT_TRUE(Recorder::with_label("complete").empty());
}

TEST(FullRun, UnreachableServerFailsAfterTheFirstSample) {
  const int port = unused_port();
  kestrum_init();
  EXPECT_EQ(kestrum_run_all("127.0.0.1", port, 200), -1);
  EXPECT_EQ(err(), "Connect failed to 127.0.0.1:" + std::to_string(port));
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_EQ(d.phase, "error");
  EXPECT_EQ(d.duration_ms, 200);
}

TEST(FullRun, FailedDownloadKeepsEarlierTransfersOfTheSameServer) {
  // Connections: 1 download, 2 upload (before the run), then 10 pings and the run's download resets.
  FakeServer server(fake::fail_on(13, fake::reset_after(100000)));
  kestrum_init();
  ASSERT_GT(kestrum_download("127.0.0.1", server.port(), 100), 0.0) << err();
  ASSERT_GT(kestrum_upload("127.0.0.1", server.port(), 100), 0.0) << err();
  const ResultDoc before = parse_result(kestrum_result_json());
  EXPECT_EQ(kestrum_run_all("127.0.0.1", server.port(), 2000), -1);
  EXPECT_EQ(err(), "Recv failed");
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_EQ(d.phase, "error");
  EXPECT_DOUBLE_EQ(d.download_mbps, before.download_mbps);
  EXPECT_DOUBLE_EQ(d.upload_mbps, before.upload_mbps);
  EXPECT_GT(d.ping_ms, 0.0);
  EXPECT_EQ(d.duration_ms, 2000);
}

TEST(FullRun, ZeroRateStageLetsTheRunContinue) {
  // Downloads are closed at once (0.0 Mbit/s), everything else is served normally.
  FakeServer server([](FakeConn &c) {
    const std::string cmd = c.read(1);
    if (cmd == "P") {
      c.write(c.read(8));
      c.hold(3000);
    } else if (cmd == "U") {
      c.drain();
    }
  });
  kestrum_init();
  EXPECT_EQ(kestrum_run_all("127.0.0.1", server.port(), 200), 0) << err();
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_EQ(d.download_mbps, 0.0);
  EXPECT_GT(d.upload_mbps, 0.0);
  EXPECT_EQ(d.phase, "complete");
}

}  // namespace
