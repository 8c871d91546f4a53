// The frame as a host sees it: fresh state, entry checks and their order, the cancel flag, the state
// record's rules and the result document.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "fake_server.h"
#include "kestrum.h"
#include "recorder.h"
#include "result_doc.h"

namespace {

// A port that makes the resolver refuse the service text at once, so no network is involved.
constexpr int kUnresolvablePort = -1;

std::string doc() { return kestrum_result_json(); }
std::string err() { return kestrum_last_error(); }

TEST(Frame, FreshProcessHasEmptyDocumentAndNoError) {
  EXPECT_STREQ(kestrum_result_json(), "{}");
  EXPECT_STREQ(kestrum_last_error(), "");
  // The texts live at fixed addresses for the life of the process.
  const char *json = kestrum_result_json();
  const char *error = kestrum_last_error();
  kestrum_ping("h", kUnresolvablePort, 1);
  EXPECT_EQ(json, kestrum_result_json());
  EXPECT_EQ(error, kestrum_last_error());
}

TEST(Frame, InitAndCleanupAreIdempotentAndKeepResults) {
  EXPECT_EQ(kestrum_cleanup(), 0);  // never started: nothing to do
  EXPECT_EQ(kestrum_init(), 0);
  EXPECT_EQ(kestrum_init(), 0);
  kestrum_ping("h", kUnresolvablePort, 1);
  const std::string before = doc();
  EXPECT_EQ(kestrum_cleanup(), 0);
  EXPECT_EQ(kestrum_cleanup(), 0);
  EXPECT_EQ(doc(), before);
  EXPECT_EQ(err(), "DNS resolution failed");  // cleanup leaves the texts alone
  EXPECT_EQ(kestrum_init(), 0);
  EXPECT_EQ(err(), "");  // init empties the last-error text
  EXPECT_EQ(doc(), before);
}

struct EntryCase {
  const char *name;
  int fn;  // 0 ping, 1 download, 2 upload, 3 run_all
  const char *host;
  int duration;
  const char *message;
};

double call(const EntryCase &c, int port = 9) {
  switch (c.fn) {
    case 0:
      return kestrum_ping(c.host, port, c.duration);
    case 1:
      return kestrum_download(c.host, port, c.duration);
    case 2:
      return kestrum_upload(c.host, port, c.duration);
    default:
      return kestrum_run_all(c.host, port, c.duration);
  }
}

TEST(Frame, EntryChecksInTheirOrderLeaveEverythingUntouched) {
  const EntryCase cases[] = {
      {"ping null host", 0, nullptr, 5, "Invalid host"},
      {"ping empty host", 0, "", 5, "Invalid host"},
      {"download null host", 1, nullptr, 100, "Invalid host"},
      {"download empty host and zero duration", 1, "", 0, "Invalid host"},
      {"download zero duration", 1, "h", 0, "Invalid duration"},
      {"download negative duration", 1, "h", -5, "Invalid duration"},
      {"upload empty host", 2, "", 100, "Invalid host"},
      {"upload negative duration", 2, "h", -5, "Invalid duration"},
      {"run_all null host", 3, nullptr, 100, "Invalid host"},
      {"run_all empty host and zero duration", 3, "", 0, "Invalid host"},
      {"run_all zero duration", 3, "h", 0, "Invalid duration"},
  };
  kestrum_init();
  kestrum_cancel();  // a raised flag must not change which message wins, nor be lowered by a failed check
  for (const EntryCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(call(c), -1.0);
    EXPECT_EQ(err(), c.message);
    EXPECT_EQ(doc(), "{}");
  }
  // The flag is still raised: a download with valid arguments is refused for it.
  EXPECT_EQ(kestrum_download("h", 9, 100), -1.0);
  EXPECT_EQ(err(), "Cancelled by user");
}

TEST(Frame, PortsOutsideTheTcpRangeFailAsResolutionBeforeAnyConnection) {
  // The resolver takes the port as decimal text and wraps what is too large: 65536 more than a live
  // port would measure that port under another name. Such ports fail like a service the resolver
  // refuses, without a connection; 1 and 65535 are ports like any other.
  FakeServer server(fake::normal());
  kestrum_init();
  const int wrapped = server.port() + 65536;
  const int refused[] = {
      wrapped, 0, 65536, -1, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()};
  for (int port : refused) {
    for (int fn = 0; fn < 4; ++fn) {
      SCOPED_TRACE("port " + std::to_string(port) + ", call " + std::to_string(fn));
      EXPECT_EQ(call({"", fn, "127.0.0.1", 50, ""}, port), -1.0);
      EXPECT_EQ(err(), "DNS resolution failed");
      const ResultDoc d = parse_result(kestrum_result_json());
      EXPECT_EQ(d.server, "127.0.0.1:" + std::to_string(port));
    }
  }
  EXPECT_EQ(server.accepted(), 0);
  for (int port : {1, 65535}) {
    SCOPED_TRACE(port);
    kestrum_ping("127.0.0.1", port, 1);
    EXPECT_NE(err(), "DNS resolution failed");
  }
}

TEST(Frame, RaisedCancelFlagFailsEveryTestUntilLowered) {
  FakeServer server(fake::normal());
  kestrum_init();
  ASSERT_GT(kestrum_ping("127.0.0.1", server.port(), 1), 0.0);
  const std::string before = doc();
  kestrum_cancel();
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(kestrum_ping("127.0.0.1", server.port(), 1), -1.0);
    EXPECT_EQ(err(), "Cancelled by user");
    EXPECT_EQ(kestrum_download("127.0.0.1", server.port(), 50), -1.0);
    EXPECT_EQ(kestrum_upload("127.0.0.1", server.port(), 50), -1.0);
    EXPECT_EQ(err(), "Cancelled by user");
    EXPECT_EQ(doc(), before);
  }
  EXPECT_EQ(server.accepted(), 1);  // none of the refused tests opened a connection
  kestrum_init();
  EXPECT_GT(kestrum_ping("127.0.0.1", server.port(), 1), 0.0);
}

TEST(Frame, RunAllLowersAnEarlierCancel) {
  FakeServer server(fake::normal());
  kestrum_init();
  kestrum_cancel();
  EXPECT_EQ(kestrum_run_all("127.0.0.1", server.port(), 100), 0) << err();
  EXPECT_EQ(err(), "");
}

TEST(Frame, SameServerKeepsResultsAnotherServerClearsThem) {
  FakeServer a(fake::normal());
  FakeServer b(fake::normal());
  kestrum_init();
  const double rate = kestrum_download("127.0.0.1", a.port(), 200);
  ASSERT_GT(rate, 0.0) << err();

  // A ping against the same host and port keeps the download figures and its duration.
  ASSERT_GT(kestrum_ping("127.0.0.1", a.port(), 2), 0.0) << err();
  ResultDoc same = parse_result(kestrum_result_json());
  EXPECT_EQ(same.server, "127.0.0.1:" + std::to_string(a.port()));
  EXPECT_DOUBLE_EQ(same.download_mbps, rate);
  EXPECT_EQ(same.duration_ms, 200);
  EXPECT_GT(same.ping_ms, 0.0);
  EXPECT_EQ(same.phase, "complete");

  // Another port is another server: the record starts again.
  ASSERT_GT(kestrum_ping("127.0.0.1", b.port(), 2), 0.0) << err();
  ResultDoc other = parse_result(kestrum_result_json());
  EXPECT_EQ(other.server, "127.0.0.1:" + std::to_string(b.port()));
  EXPECT_EQ(other.download_mbps, 0.0);
  EXPECT_EQ(other.duration_ms, 0);

  // Host texts that differ in letter case are different keys too.
  ASSERT_GT(kestrum_download("localhost", b.port(), 50), -1.0) << err();
  ASSERT_GT(kestrum_ping("LOCALHOST", b.port(), 1), 0.0) << err();
  ResultDoc cased = parse_result(kestrum_result_json());
  EXPECT_EQ(cased.server, "LOCALHOST:" + std::to_string(b.port()));
  EXPECT_EQ(cased.download_mbps, 0.0);
}

TEST(Frame, DocumentIsCompactJsonWithSevenMembersInOrder) {
  FakeServer server(fake::normal());
  kestrum_init();
  ASSERT_GT(kestrum_ping("127.0.0.1", server.port(), 5), 0.0) << err();
  const std::string text = doc();
  const ResultDoc d = parse_result(text.c_str());
  ASSERT_TRUE(d.valid) << text;
  EXPECT_EQ(d.keys, result_keys());
  // Reals keep a fractional part, as the writer renders them, and nothing is spaced or broken.
  EXPECT_NE(text.find("\"download_mbps\":0.0,\"upload_mbps\":0.0,\"duration_ms\":0,\"phase\":\"complete\"}"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find_first_of(" \n"), std::string::npos) << text;
}

TEST(Frame, HostTextsAreEscapedOrRefusedNeverCut) {
  kestrum_init();
  // A quotation mark is escaped.
  kestrum_ping("a\"b", kUnresolvablePort, 1);
  EXPECT_EQ(doc(),
            "{\"server\":\"a\\\"b:-1\",\"ping_ms\":0.0,\"jitter_ms\":0.0,\"download_mbps\":0.0,"
            "\"upload_mbps\":0.0,\"duration_ms\":0,\"phase\":\"ping\"}");

  // Not UTF-8: the writer refuses it, and the document says "{}" rather than something malformed.
  kestrum_ping("caf\xe9", kUnresolvablePort, 1);
  EXPECT_EQ(doc(), "{}");

  // A key of 255 control characters escapes to far more than the 1023 characters the document holds:
  // a cut document would not be JSON, so it reads "{}".
  const std::string controls(300, '\x01');
  kestrum_ping(controls.c_str(), kUnresolvablePort, 1);
  EXPECT_EQ(doc(), "{}");

  // A long plain host is cut at 255 characters of server key, and the document stays valid.
  const std::string longhost(400, 'h');
  kestrum_ping(longhost.c_str(), kUnresolvablePort, 1);
  const ResultDoc d = parse_result(kestrum_result_json());
  ASSERT_TRUE(d.valid);
  EXPECT_EQ(d.server, std::string(255, 'h'));
  EXPECT_EQ(err(), "DNS resolution failed");
}

TEST(Frame, SuccessKeepsAnEarlierErrorMessage) {
  FakeServer server(fake::normal());
  kestrum_init();
  EXPECT_EQ(kestrum_download("127.0.0.1", server.port(), 0), -1.0);
  ASSERT_GT(kestrum_ping("127.0.0.1", server.port(), 1), 0.0);
  EXPECT_EQ(err(), "Invalid duration");
}

TEST(Frame, NoCallbackRegisteredMeansNoReports) {
  FakeServer server(fake::normal());
  kestrum_init();
  Recorder::install();
  kestrum_set_tick(nullptr);
  EXPECT_EQ(kestrum_run_all("127.0.0.1", server.port(), 150), 0) << err();
  EXPECT_TRUE(Recorder::reports().empty());
}

}  // namespace
