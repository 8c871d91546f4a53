// Download and upload: the rate, the server's ways of ending a stream, the payload, progress from the
// monitor thread, and cancel.
#include <gtest/gtest.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "fake_server.h"
#include "figures.h"
#include "kestrum.h"
#include "recorder.h"
#include "result_doc.h"
#include "transfers.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

std::string err() { return kestrum_last_error(); }

class TransferTest : public testing::TestWithParam<Transfer> {};

TEST(Download, MeasuresAThrottledStreamNearItsRate) {
  // 2,000,000 bytes/s = 16 Mbit/s for 600 ms.
  FakeServer server(fake::throttled(2000000));
  kestrum_init();
  const double rate = kestrum_download("127.0.0.1", server.port(), 600);
  ASSERT_GT(rate, 0.0) << err();
  EXPECT_NEAR(rate, 16.0, 16.0 * 0.25);
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_DOUBLE_EQ(d.download_mbps, rate);
  EXPECT_EQ(d.duration_ms, 600);
  EXPECT_EQ(d.phase, "complete");
}

TEST(Download, ServerClosingAfterTheCommandEndsTheTestSuccessfully) {
  FakeServer server(fake::close_at_once());
  kestrum_init();
  Recorder::install();
  const auto t0 = Clock::now();
  const double rate = kestrum_download("127.0.0.1", server.port(), 2000);
  EXPECT_EQ(rate, 0.0) << err();
  EXPECT_LT(Clock::now() - t0, milliseconds(1500));  // ended by the close, not by the duration
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, "complete");
  const auto reports = Recorder::reports();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().label, "download");
  EXPECT_EQ(reports.back().percent, 100);
  EXPECT_EQ(reports.back().thread, std::this_thread::get_id());
}

TEST(Download, ResetMidStreamIsARecvFailureAndKeepsTheEarlierRate) {
  // One server key for both tests: the first connection streams, the second resets after 200 kB.
  FakeServer server(fake::fail_on(2, fake::reset_after(200000)));
  kestrum_init();
  const double rate = kestrum_download("127.0.0.1", server.port(), 150);
  ASSERT_GT(rate, 0.0) << err();
  EXPECT_EQ(kestrum_download("127.0.0.1", server.port(), 2000), -1.0);
  EXPECT_EQ(err(), "Recv failed");
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_EQ(d.phase, "error");
  EXPECT_DOUBLE_EQ(d.download_mbps, rate);
}

TEST(Upload, SendsTheGeneratedPayloadAfterTheCommand) {
  FakeServer server(fake::normal());
  kestrum_init();
  const double rate = kestrum_upload("127.0.0.1", server.port(), 200);
  ASSERT_GT(rate, 0.0) << err();
  server.wait_idle();
  const std::string sent = server.received().at(0);
  ASSERT_GT(sent.size(), 1u + 65536u);
  EXPECT_EQ(sent[0], 'U');
  const unsigned char first[] = {0x27, 0x5E, 0xFA, 0x95, 0x0E, 0x73, 0x81, 0x85};
  EXPECT_EQ(sent.substr(1, 8), std::string(reinterpret_cast<const char *>(first), 8));
  EXPECT_EQ(sent.substr(1, 65536), expected_upload_payload());
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_DOUBLE_EQ(d.upload_mbps, rate);
  EXPECT_EQ(d.phase, "complete");
}

TEST(Upload, ServerThatStopsReadingYieldsWhatItsHostTookAndEndsOnTime) {
  // The server reads the command and nothing more: its host takes what its receive buffer holds, a few
  // hundred kB at most, while the client's own socket accepts megabytes that never leave this machine.
  // The figure and the last progress reports count only what the server's host took.
  FakeServer server(fake::stop_reading());
  kestrum_init();
  Recorder::install();
  const auto t0 = Clock::now();
  const double rate = kestrum_upload("127.0.0.1", server.port(), 400);
  const auto took = Clock::now() - t0;
  ASSERT_GE(rate, 0.0) << err();
  EXPECT_GE(took, milliseconds(400));
  EXPECT_LT(took, milliseconds(1500));
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, "complete");

  const double took_s = std::chrono::duration<double>(took).count();
  constexpr double kHostHoldsAtMost = 1 << 20;  // bytes; the client's socket alone accepts over 2 MB
  EXPECT_LT(bytes_per_second(rate) * took_s, kHostHoldsAtMost) << "rate " << rate << " Mbit/s";
  for (const Report &r : Recorder::with_label("upload")) {
    // A report's rate divides its bytes by its nominal time, percent of the planned 0.4 s.
    const double bytes = bytes_per_second(r.rate) * (r.percent / 100.0 * 0.4);
    EXPECT_LT(bytes, kHostHoldsAtMost) << "report at " << r.percent << "%: " << r.rate << " Mbit/s";
  }
}

TEST(Upload, ResetByTheServerIsASendFailureNotASignal) {
  // Without care a send on a reset connection raises SIGPIPE and ends the host process; here it must
  // come back as an error.
  FakeServer server(fake::reset_after(100000));
  kestrum_init();
  EXPECT_EQ(kestrum_upload("127.0.0.1", server.port(), 3000), -1.0);
  EXPECT_EQ(err(), "Send failed");
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, "error");
}

TEST(Upload, ACancelResetsTheConnectionAFinishedUploadClosesInOrder) {
  // The server reads nothing for its first 2 s, so data is still queued when the client closes (a reset
  // only shows when something is: with nothing queued the end of the stream goes out before it). A
  // cancelled upload drops it and the server sees a reset; a finished one delivers it and ends in order.
  FakeServer server([](FakeConn &c) {
    c.read(1);
    c.sleep(2000);
    c.drain(5000);
  });
  kestrum_init();
  ASSERT_GT(kestrum_upload("127.0.0.1", server.port(), 100), 0.0) << err();
  server.wait_idle();
  EXPECT_EQ(server.resets_seen(), 0);
  Recorder::install([](const Report &) { kestrum_cancel(); });  // the first report, 100 ms in
  EXPECT_EQ(kestrum_upload("127.0.0.1", server.port(), 5000), -1.0);
  EXPECT_EQ(err(), "Cancelled by user");
  server.wait_idle();
  EXPECT_EQ(server.resets_seen(), 1);
}

TEST_P(TransferTest, ReportsFromTheMonitorThenTheFinalOneOnTheCallingThread) {
  const Transfer t = GetParam();
  FakeServer server(fake::normal());
  kestrum_init();
  Recorder::install();
  // Nine regular reports are due in a second; at least three must come even on a busy machine (a 450 ms
  // transfer under Wine and load once gave only two before its end).
  const double rate = t.run("127.0.0.1", server.port(), 1000);
  ASSERT_GT(rate, 0.0) << err();
  const auto reports = Recorder::reports();
  ASSERT_GE(reports.size(), 4u);
  // The monitor's first report has nominal time 0: rate 0.0 and percent 0.
  EXPECT_NE(reports.front().thread, std::this_thread::get_id());
  EXPECT_EQ(reports.front().rate, 0.0);
  EXPECT_EQ(reports.front().percent, 0);
  int previous = -1;
  for (size_t i = 0; i + 1 < reports.size(); ++i) {
    EXPECT_EQ(reports[i].label, t.label);
    EXPECT_NE(reports[i].thread, std::this_thread::get_id());
    EXPECT_GE(reports[i].percent, previous);
    EXPECT_LE(reports[i].percent, 100);
    previous = reports[i].percent;
  }
  // The last report is the test's own, after the monitor has stopped.
  EXPECT_EQ(reports.back().label, t.label);
  EXPECT_EQ(reports.back().thread, std::this_thread::get_id());
  EXPECT_EQ(reports.back().rate, rate);
  EXPECT_EQ(reports.back().percent, 100);
}

TEST_P(TransferTest, CancelFromAnotherThreadEndsWithinOneTransferCall) {
  const Transfer t = GetParam();
  FakeServer server(fake::normal());
  kestrum_init();
  const double earlier = t.run("127.0.0.1", server.port(), 100);
  ASSERT_GT(earlier, 0.0) << err();

  std::atomic<bool> started{false};
  Recorder::install([&started](const Report &) { started = true; });
  std::thread canceller([&started] {
    for (int i = 0; i < 400 && !started; ++i) std::this_thread::sleep_for(milliseconds(5));
    kestrum_cancel();
  });
  const auto t0 = Clock::now();
  EXPECT_EQ(t.run("127.0.0.1", server.port(), 10000), -1.0);
  const auto took = Clock::now() - t0;
  canceller.join();
  EXPECT_EQ(err(), "Cancelled by user");
  EXPECT_LT(took, milliseconds(3000));
  const ResultDoc d = parse_result(kestrum_result_json());
  EXPECT_EQ(d.phase, "error");
  EXPECT_DOUBLE_EQ(std::string(t.label) == "download" ? d.download_mbps : d.upload_mbps, earlier);
}

TEST_P(TransferTest, SilentServerRunsThePlannedDurationForZero) {
  const Transfer t = GetParam();
  FakeServer server(fake::silent());
  kestrum_init();
  const auto t0 = Clock::now();
  const double rate = t.run("127.0.0.1", server.port(), 300);
  const auto took = Clock::now() - t0;
  EXPECT_GE(took, milliseconds(300));
  EXPECT_LT(took, milliseconds(1500));
  if (std::string(t.label) == "download") {
    EXPECT_EQ(rate, 0.0);  // nothing came
  } else {
    EXPECT_GE(rate, 0.0);  // the buffers took what they could
  }
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, "complete");
}

TEST_P(TransferTest, UnreachableServerFailsBeforeAnyMonitor) {
  const Transfer t = GetParam();
  const int port = unused_port();
  kestrum_init();
  Recorder::install();
  EXPECT_EQ(t.run("127.0.0.1", port, 200), -1.0);
  EXPECT_EQ(err(), "Connect failed to 127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, t.label);
  std::this_thread::sleep_for(milliseconds(150));
  EXPECT_TRUE(Recorder::reports().empty());
}

TEST_P(TransferTest, OneMillisecondTransferEndsAtOnce) {
  const Transfer t = GetParam();
  FakeServer server(fake::normal());
  kestrum_init();
  const double rate = t.run("127.0.0.1", server.port(), 1);
  EXPECT_GE(rate, 0.0) << err();
  EXPECT_EQ(parse_result(kestrum_result_json()).phase, "complete");
}

TEST_P(TransferTest, MonitorLabelKeepsItsTextAfterTheTransfer) {
  // A host may keep the label pointer of a periodic report: it points at the library's own buffer and
  // keeps its text until the next transfer starts, long after the monitor thread has gone.
  const Transfer t = GetParam();
  FakeServer server(fake::normal());
  kestrum_init();
  Recorder::install();
  // A second, so that the monitor reports before the caller's closing report even on a busy machine,
  // where its first report of a shorter transfer came after it.
  ASSERT_GT(t.run("127.0.0.1", server.port(), 1000), 0.0) << err();
  std::this_thread::sleep_for(milliseconds(50));  // the monitor thread has ended and its stack is gone
  const auto reports = Recorder::reports();
  const auto periodic = std::find_if(reports.begin(), reports.end(),
                                     [](const Report &r) { return r.thread != std::this_thread::get_id(); });
  ASSERT_NE(periodic, reports.end()) << "no report came from the monitor thread";
  EXPECT_STREQ(periodic->text, t.label);
}

INSTANTIATE_TEST_SUITE_P(Both, TransferTest, testing::Values(kDownload, kUpload),
                         [](const testing::TestParamInfo<Transfer> &i) {
                           return std::string(i.param.label);
                         });

}  // namespace
