// Measuring: the result line, the summaries, failures, --only, --repeat, a named server and the bundled
// one. Durations are short; the figures are only checked for what a working path must give.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <chrono>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cli_process.h"
#include "cli_support.h"
#include "server.h"

namespace {

std::string port_text(int port) { return std::to_string(port); }

// The member names of a result line, in order, and those of its "loaded_latency" object.
struct Members {
  std::vector<std::string> top;
  std::vector<std::string> loaded;
};

Members members_of(const std::string &line) {
  Members m;
  yyjson_doc *doc = yyjson_read(line.data(), line.size(), 0);
  auto names = [](yyjson_val *obj) {
    std::vector<std::string> out;
    yyjson_obj_iter it = yyjson_obj_iter_with(obj);
    for (yyjson_val *k = yyjson_obj_iter_next(&it); k != nullptr; k = yyjson_obj_iter_next(&it)) {
      out.push_back(yyjson_get_str(k));
    }
    return out;
  };
  yyjson_val *root = yyjson_doc_get_root(doc);
  m.top = names(root);
  m.loaded = names(yyjson_obj_get(root, "loaded_latency"));
  yyjson_doc_free(doc);
  return m;
}

const std::vector<std::string> kLibraryMembers = {"server",      "ping_ms",     "jitter_ms", "download_mbps",
                                                  "upload_mbps", "duration_ms", "phase"};

// The command's members that every result line has, right after the library's.
const std::vector<std::string> kVersioned = {"version", "timestamp"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// --- failure ---------------------------------------------------------------------------------------------

TEST(Failure, ClosedPortExitsWith1AndTheLibrarysMessage) {
  ClosedPort closed;
  ASSERT_GT(closed.port(), 0);
  const std::string p = port_text(closed.port());
  const std::vector<std::vector<std::string>> command_lines = {
      {"127.0.0.1", "--port", p},
      {"--port=" + p, "127.0.0.1", "--json"},  // options before HOST; nothing on stdout even with --json
      {"127.0.0.1", "--port", p, "--only", "ping", "--count", "1000"},
      {"127.0.0.1", "-p", p, "--only", "download", "--duration", "1ms"},
      {"127.0.0.1", "--port", p, "--only", "upload"},
      {"--port", p, "--", "127.0.0.1"},  // after "--", HOST even if it looked like an option
  };
  for (const auto &args : command_lines) {
    std::string shown;
    for (const auto &a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    const CliResult r = run_cli(args, 20000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "kestrum: Connect failed to 127.0.0.1:" + p + "\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST(Failure, AFailedRunOfASeriesIsReportedAndTheSeriesGoesOn) {
  ClosedPort closed;
  const std::string p = port_text(closed.port());
  const CliResult r = run_cli({"127.0.0.1", "--port", p, "--repeat", "3", "--interval", "0"}, 20000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "kestrum: run 1: Connect failed to 127.0.0.1:" + p + "\n" +  //
                "kestrum: run 2: Connect failed to 127.0.0.1:" + p + "\n" +
                "kestrum: run 3: Connect failed to 127.0.0.1:" + p + "\n");
  EXPECT_EQ(r.out, "");
}

// --- the result line -------------------------------------------------------------------------------------

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST(JsonOutput, FullRunPrintsOneCompleteLine) {
  const double before = wall_seconds();
  const CliResult r = run_cli({"--json", "--duration", "300ms"});
  const double after = wall_seconds();
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 1u) << r.out;
  EXPECT_EQ(r.out.back(), '\n');

  const ResultDoc doc = parse_result(lines[0]);
  ASSERT_TRUE(doc.parsed) << lines[0];
  EXPECT_EQ(doc.phase, "complete");
  EXPECT_EQ(doc.server, bundled_server(r.err)) << r.err;
  EXPECT_GT(doc.ping_ms, 0);
  EXPECT_GE(doc.jitter_ms, 0);
  EXPECT_GT(doc.download_mbps, 0);
  EXPECT_GT(doc.upload_mbps, 0);
  EXPECT_EQ(doc.duration_ms, 300);
  // Versioned and dated by the run's start (the timestamp has whole milliseconds).
  EXPECT_EQ(doc.version, 1);
  const double started = rfc3339_seconds(doc.timestamp);
  EXPECT_GE(started, before - 0.001) << doc.timestamp;
  EXPECT_LE(started, after - 0.6) << "the start, not the end: two 300 ms transfers came after it";

  // The library's seven members first and in their order, then latency under load for both transfers,
  // probed every 100 ms from 100 ms into each transfer.
  const Members members = members_of(lines[0]);
  EXPECT_EQ(members.top,
            with(with(kLibraryMembers, kVersioned), {"idle_latency", "loaded_latency", "responsiveness"}));
  EXPECT_EQ(members.loaded, (std::vector<std::string>{"download", "upload"}));
  // The idle baseline: ten probes like those under load, before the transfers.
  EXPECT_EQ(doc.idle.samples, 10);
  EXPECT_EQ(doc.idle.lost, 0);
  EXPECT_GT(doc.idle.median_ms, 0);
  EXPECT_GE(doc.idle.p90_ms, doc.idle.median_ms);
  EXPECT_GT(doc.idle.connect_ms, 0);
  EXPECT_GT(doc.idle.reply_ms, 0);
  EXPECT_EQ(doc.download_ran_ms, -1) << "nothing ended early";
  for (const auto &phase : {doc.loaded_download, doc.loaded_upload}) {
    EXPECT_GE(phase.samples, 1);
    EXPECT_LE(phase.samples + phase.lost, 3) << "at most one probe per 100 ms";
    EXPECT_EQ(phase.lost, 0) << "the bundled server answers every probe";
    EXPECT_GT(phase.median_ms, 0);
    EXPECT_GE(phase.p90_ms, phase.median_ms);
    EXPECT_GE(phase.jitter_ms, 0);
    EXPECT_GT(phase.connect_ms, 0);
    EXPECT_GT(phase.reply_ms, 0);
    // The grade is on the rise of the median reply over idle's; 300 ms transfers earn only low confidence.
    EXPECT_NEAR(phase.increase_ms, phase.reply_ms - doc.idle.reply_ms, 1e-9);
    EXPECT_NE(phase.grade, "");
    EXPECT_GT(phase.rpm, 0);
    EXPECT_EQ(phase.confidence, "low");
    EXPECT_EQ(phase.basis, "from fresh-connection TCP probes");
  }
}

struct OnlyCase {
  std::vector<std::string> args;
  bool ping, download, upload;  // which figures the run fills
  long long duration_ms;
  std::vector<std::string> loaded;  // the phases of "loaded_latency"; empty: no such member
};

TEST(JsonOutput, OnlyRunsTheChosenTest) {
  const OnlyCase cases[] = {
      {{"--only", "ping", "--count", "3"}, true, false, false, 0, {}},
      {{"--only", "download", "-t", "0.3"}, false, true, false, 300, {"download"}},
      {{"--only", "download", "-t0.2", "-J"}, false, true, false, 200, {"download"}},
      {{"--only=upload", "--duration=0.25s"}, false, false, true, 250, {"upload"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const CliResult r = run_cli(args);
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(split_lines(r.out).size(), 1u) << r.out;
    const ResultDoc doc = parse_result(r.out);
    ASSERT_TRUE(doc.parsed) << r.out;
    EXPECT_EQ(doc.phase, "complete");
    EXPECT_EQ(doc.ping_ms > 0, c.ping);
    EXPECT_EQ(doc.download_mbps > 0, c.download);
    EXPECT_EQ(doc.upload_mbps > 0, c.upload);
    EXPECT_EQ(doc.duration_ms, c.duration_ms);
    const Members members = members_of(r.out);
    const std::vector<std::string> top = with(kLibraryMembers, kVersioned);
    EXPECT_EQ(members.top,
              c.loaded.empty() ? top : with(top, {"idle_latency", "loaded_latency", "responsiveness"}));
    EXPECT_EQ(members.loaded, c.loaded);
  }
}

// --- series ----------------------------------------------------------------------------------------------

TEST(Repeat, JsonGivesOneLinePerRun) {
  const CliResult r =
      run_cli({"--json", "--repeat", "3", "--interval", "0", "--only", "download", "--duration", "100ms"});
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  for (const auto &line : lines) {
    const ResultDoc doc = parse_result(line);
    EXPECT_TRUE(doc.parsed) << line;
    EXPECT_EQ(doc.phase, "complete");
    EXPECT_GT(doc.download_mbps, 0);
  }
}

TEST(Repeat, TextGivesOneSummaryLinePerRunAndWaitsTheInterval) {
  const auto start = std::chrono::steady_clock::now();
  const CliResult r = run_cli({"--repeat", "3", "--interval", "0.25", "--only", "ping", "--count", "2"});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<std::string> lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  const std::string server = bundled_server(r.err);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::regex line("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  run " + std::to_string(i + 1) + "  " +
                          server + "  latency [0-9.]+ ms  jitter [0-9.]+ ms$");
    EXPECT_TRUE(std::regex_match(lines[i], line)) << lines[i];
  }
  EXPECT_GE(seconds, 0.5) << "two waits of 0.25 s lie between three runs";
}

// --- a named server --------------------------------------------------------------------------------------

// A server in this test process, so the test can count what the command did to it.
class NamedServer : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = running_.server();
    ASSERT_NE(server_, nullptr) << running_.error();
  }
  // The server counts a connection when it accepts it, which may trail the client by a moment.
  uint64_t connections_settled(uint64_t expected) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (server_stats(server_).connections < expected && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return server_stats(server_).connections;
  }
  InProcessServer running_;
  Server *server_ = nullptr;
};

struct NamedCase {
  std::vector<std::string> args;
  uint64_t connections;  // one per latency sample, one per transfer; the command's probes come on top
};

TEST_F(NamedServer, MeasuresTheNamedServerWithTheGivenCountsAndRuns) {
  const NamedCase cases[] = {
      {{"--only", "ping", "--count", "7"}, 7},
      {{"--only", "ping", "--count", "2", "--repeat", "3", "--interval", "0"}, 6},
      {{"--only", "upload", "--duration", "100ms", "--repeat", "2", "--interval", "0"}, 2},
      {{"--duration", "100ms"}, 10 + 2},
  };
  const std::string where = "127.0.0.1:" + port_text(server_port(server_));
  uint64_t before = 0;
  for (const auto &c : cases) {
    std::vector<std::string> args = {"127.0.0.1", "--port", port_text(server_port(server_)), "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::string shown;
    for (const auto &a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);

    const CliResult r = run_cli(args);
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "") << "nothing to say when the server is named";
    uint64_t expected = c.connections;
    for (const auto &line : split_lines(r.out)) {
      const ResultDoc doc = parse_result(line);
      EXPECT_EQ(doc.server, where);
      for (const LoadedDoc &l : {doc.idle, doc.loaded_download, doc.loaded_upload}) {
        if (l.samples >= 0) expected += static_cast<uint64_t>(l.samples + l.lost);
      }
    }
    const uint64_t after = connections_settled(before + expected);
    EXPECT_EQ(after - before, expected);
    before = after;
  }
}

// --- the bundled server, end to end ----------------------------------------------------------------------

TEST(EmbeddedServer, FullRunWithoutHostPrintsTheSummary) {
  const CliResult r = run_cli({"--duration", "300ms"});
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string server = bundled_server(r.err);
  ASSERT_NE(server, "") << r.err;
  EXPECT_EQ(r.err, "No server given: measuring against the bundled server on " + server + "\n");

  const std::vector<std::string> lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 17u) << r.out;
  EXPECT_EQ(lines[0], "Server     " + server);
  const std::string ms = " +[0-9.]+ ms";
  const std::string part = ms;
  const std::string figures[] = {"^Download   ([0-9.]+) [MG]bit/s$",
                                 "^Upload     ([0-9.]+) [MG]bit/s$",
                                 "^ +idle +download +upload$",
                                 "^Latency" + ms + ms + ms + "$",
                                 "^  connect" + part + part + part + "$",
                                 "^  reply" + part + part + part + "$",
                                 "^  p90" + ms + ms + ms + "$",
                                 "^Jitter" + ms + ms + ms + "$",
                                 "^Probes +10 +[0-9]+( \\+[0-9]+ lost)? +[0-9]+( \\+[0-9]+ lost)?$",
                                 "^Bloat +-( +(A\\+|[A-DF]) [+-][0-9.]+ ms){2}$",
                                 "^RPM +-( +[0-9]+ low){2}$"};
  for (size_t i = 0; i < std::size(figures); ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i + 1], m, std::regex(figures[i]))) << lines[i + 1];
    if (i < 2) {
      EXPECT_GT(std::stod(m[1].str()), 0) << lines[i + 1];
    }
  }
  // Below the table, what the figures are and what they are not.
  EXPECT_EQ(lines[12].rfind("Latency: medians of TCP probes on fresh connections", 0), 0u) << r.out;
  EXPECT_NE(
      r.out.find(
          "RPM: round trips per minute from fresh-connection TCP\nprobes (the TCP-only form of the IETF "
          "responsiveness draft's figure, not its full test)"),
      std::string::npos)
      << r.out;
  // Not a terminal: no progress drawing and no colour.
  EXPECT_EQ(r.out.find_first_of("\r\x1b"), std::string::npos);
  EXPECT_EQ(r.err.find_first_of("\r\x1b"), std::string::npos);
}

// A download the server ends before its planned length (its stream limit) is a shorter measurement, and
// says so: in the JSON, and on the summary.
TEST(EndedEarly, ADownloadTheServerCutShortIsReportedAsSuch) {
  ServerConfig config;
  config.bind = "127.0.0.1";
  config.port = 0;
  config.quiet = true;
  config.max_stream_seconds = 1;
  std::string error;
  Server *server = server_start(config, &error);
  ASSERT_NE(server, nullptr) << error;
  const std::string port = port_text(server_port(server));

  // The server ends the stream after its 1 s; the plan is far longer, whatever the machine's load.
  const CliResult json = run_cli({"127.0.0.1", "-p", port, "--only", "download", "-t", "20", "-J"});
  ASSERT_TRUE(json.finished);
  EXPECT_EQ(json.exit_code, 0) << json.err;
  const ResultDoc doc = parse_result(json.out);
  EXPECT_EQ(doc.duration_ms, 20000) << "the library's member keeps the planned length";
  EXPECT_GE(doc.download_ran_ms, 1000) << "at least the server's stream limit: " << json.out;
  EXPECT_NE(json.out.find("\"ended_early\":{\"download\":{\"planned_ms\":20000,\"ran_ms\":"),
            std::string::npos)
      << json.out;

  const CliResult text = run_cli({"127.0.0.1", "-p", port, "--only", "download", "-t", "20"});
  EXPECT_EQ(text.exit_code, 0) << text.err;
  EXPECT_TRUE(std::regex_search(
      text.out,
      std::regex("\nDownload   [0-9.]+ [MG]bit/s  \\(the server ended it after [0-9.]+ s of 20 s\\)\n")))
      << text.out;
  server_stop(server);
}

}  // namespace
