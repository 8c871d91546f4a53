// --json-stream: every line of stdout is one JSON object of a known type, runs repeat the sequence, and the
// "result" is the document --json prints.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "cli_process.h"
#include "cli_support.h"

namespace {

// One parsed line; owns its document.
struct Event {
  explicit Event(const std::string &line) : doc(yyjson_read(line.data(), line.size(), 0)) {}
  ~Event() { yyjson_doc_free(doc); }
  Event(Event &&other) noexcept : doc(other.doc) { other.doc = nullptr; }
  Event(const Event &) = delete;
  Event &operator=(const Event &) = delete;

  yyjson_val *root() const { return yyjson_doc_get_root(doc); }
  yyjson_val *get(const char *key) const { return yyjson_obj_get(root(), key); }
  std::string str(const char *key) const {
    const char *s = yyjson_get_str(get(key));
    return s != nullptr ? s : "";
  }
  double num(const char *key) const { return yyjson_is_num(get(key)) ? yyjson_get_num(get(key)) : -1; }
  std::string type() const { return str("type"); }

  yyjson_doc *doc;
};

std::vector<std::string> keys_of(yyjson_val *obj) {
  std::vector<std::string> keys;
  yyjson_obj_iter it = yyjson_obj_iter_with(obj);
  for (yyjson_val *k = yyjson_obj_iter_next(&it); k != nullptr; k = yyjson_obj_iter_next(&it)) {
    keys.push_back(yyjson_get_str(k));
  }
  return keys;
}

// Parses every line of the output; a line that is not a JSON object with a known type fails the test.
std::vector<Event> parse_stream(const std::string &out) {
  static const std::set<std::string> kTypes = {"start", "progress", "latency", "result", "error"};
  std::vector<Event> events;
  EXPECT_TRUE(out.empty() || out.back() == '\n');
  for (const auto &line : split_lines(out)) {
    Event e(line);
    EXPECT_TRUE(yyjson_is_obj(e.root())) << "not a JSON object: " << line;
    if (!yyjson_is_obj(e.root())) continue;
    EXPECT_EQ(kTypes.count(e.type()), 1u) << line;
    const std::set<std::string> keys = [&] {
      const auto k = keys_of(e.root());
      return std::set<std::string>(k.begin(), k.end());
    }();
    if (e.type() == "progress") {
      EXPECT_EQ(keys, (std::set<std::string>{"type", "test", "mbps", "percent", "elapsed_ms"})) << line;
      EXPECT_GE(e.num("percent"), 0) << line;
      EXPECT_LE(e.num("percent"), 100) << line;
      EXPECT_GE(e.num("elapsed_ms"), 0) << line;
    } else if (e.type() == "latency") {
      const bool lost = yyjson_is_true(e.get("lost"));
      EXPECT_TRUE(lost || e.num("ms") > 0) << line;
      const std::set<std::string> answered = {"type", "test", "ms", "connect_ms", "reply_ms", "elapsed_ms"};
      const std::set<std::string> unanswered = {"type", "test", "lost", "elapsed_ms"};
      EXPECT_EQ(keys, lost ? unanswered : answered) << line;
      // The probe's two round trips, the connection's set-up and the request, make up its time.
      if (!lost) {
        EXPECT_GT(e.num("connect_ms"), 0) << line;
        EXPECT_GT(e.num("reply_ms"), 0) << line;
        EXPECT_NEAR(e.num("connect_ms") + e.num("reply_ms"), e.num("ms"), 1e-9) << line;
      }
      EXPECT_TRUE(e.str("test") == "idle" || e.str("test") == "download" || e.str("test") == "upload")
          << line;
      EXPECT_GE(e.num("elapsed_ms"), 0) << line;
    } else if (e.type() == "result") {
      EXPECT_TRUE(yyjson_is_obj(e.get("result"))) << line;
    } else if (e.type() == "error") {
      EXPECT_NE(e.str("message"), "") << line;
    }
    events.push_back(std::move(e));
  }
  return events;
}

TEST(JsonStream, AFullRunStartsReportsAndEndsInTheResultJsonPrints) {
  const CliResult stream = run_cli({"--json-stream", "--duration", "400ms"});
  ASSERT_TRUE(stream.finished);
  ASSERT_EQ(stream.exit_code, 0) << stream.err;
  const std::vector<Event> events = parse_stream(stream.out);
  ASSERT_GE(events.size(), 3u) << stream.out;

  const Event &start = events.front();
  EXPECT_EQ(start.type(), "start");
  EXPECT_EQ(start.str("server"), bundled_server(stream.err));
  EXPECT_EQ(start.num("duration_ms"), 400);
  EXPECT_EQ(yyjson_arr_size(start.get("tests")), 3u);

  const Event &result = events.back();
  ASSERT_EQ(result.type(), "result");
  for (size_t i = 1; i + 1 < events.size(); ++i) {
    EXPECT_TRUE(events[i].type() == "progress" || events[i].type() == "latency") << events[i].type();
  }

  // The ten idle samples and both transfers report, each transfer ending at 100 with its final figure.
  int pings = 0;
  double download_final = -1, upload_final = -1;
  for (const auto &e : events) {
    if (e.type() != "progress") continue;
    if (e.str("test") == "ping") ++pings;
    if (e.str("test") == "download" && e.num("percent") == 100) download_final = e.num("mbps");
    if (e.str("test") == "upload" && e.num("percent") == 100) upload_final = e.num("mbps");
  }
  EXPECT_EQ(pings, 10);

  // The same run with --json gives a document of the same members in the same order; the figures of the
  // streamed run are the ones its progress ended with.
  const CliResult json = run_cli({"--json", "--duration", "400ms"});
  ASSERT_TRUE(json.finished);
  ASSERT_EQ(json.exit_code, 0) << json.err;
  Event printed(split_lines(json.out).at(0));
  ASSERT_TRUE(yyjson_is_obj(printed.root())) << json.out;
  yyjson_val *streamed = result.get("result");
  EXPECT_EQ(keys_of(streamed), keys_of(printed.root()));
  char *streamed_text = yyjson_val_write(streamed, 0, nullptr);
  ASSERT_NE(streamed_text, nullptr);
  const ResultDoc doc = parse_result(streamed_text);
  std::free(streamed_text);
  EXPECT_EQ(doc.server, start.str("server"));
  // The start carries the result's schema version and the run's time, as the result does.
  EXPECT_EQ(start.num("version"), 1);
  EXPECT_EQ(doc.version, 1);
  EXPECT_GT(rfc3339_seconds(start.str("timestamp")), 0) << start.str("timestamp");
  EXPECT_EQ(doc.timestamp, start.str("timestamp"));
  EXPECT_EQ(doc.phase, "complete");
  EXPECT_EQ(doc.duration_ms, 400);
  EXPECT_GT(doc.ping_ms, 0);
  EXPECT_EQ(doc.download_mbps, download_final);
  EXPECT_EQ(doc.upload_mbps, upload_final);

  // Every probe was streamed, the idle ones first, and the result counts exactly those.
  long long probes[3] = {0, 0, 0};
  bool idle_after_load = false;
  for (const auto &e : events) {
    if (e.type() != "latency") continue;
    const int i = e.str("test") == "idle" ? 0 : e.str("test") == "download" ? 1 : 2;
    idle_after_load = idle_after_load || (i == 0 && probes[1] + probes[2] > 0);
    ++probes[i];
  }
  EXPECT_FALSE(idle_after_load);
  EXPECT_EQ(probes[0], doc.idle.samples + doc.idle.lost);
  EXPECT_EQ(probes[1], doc.loaded_download.samples + doc.loaded_download.lost);
  EXPECT_EQ(probes[2], doc.loaded_upload.samples + doc.loaded_upload.lost);
  EXPECT_EQ(probes[0], 10);
  EXPECT_GT(probes[1], 0);
  EXPECT_GT(probes[2], 0);
}

TEST(JsonStream, EachRunOfASeriesRepeatsTheSequence) {
  const CliResult r =
      run_cli({"--json-stream", "--repeat", "2", "--interval", "0", "--only", "ping", "--count", "3"});
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string sequence;
  for (const auto &e : parse_stream(r.out)) sequence += e.type() == "progress" ? "p" : e.type() + " ";
  EXPECT_EQ(sequence, "start pppresult start pppresult ");
}

TEST(JsonStream, AFailedRunEndsInAnErrorWithTheLibrarysMessage) {
  ClosedPort closed;
  const std::string p = std::to_string(closed.port());
  const CliResult r = run_cli({"127.0.0.1", "--port", p, "--json-stream"}, 20000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "kestrum: Connect failed to 127.0.0.1:" + p + "\n");
  // The idle baseline gives up after three lost probes in a row; then the library fails on its own.
  const std::vector<Event> events = parse_stream(r.out);
  std::string sequence;
  for (const auto &e : events) {
    sequence += e.type() == "latency" ? e.str("test") + (yyjson_is_true(e.get("lost")) ? "-lost " : " ")
                                      : e.type() + " ";
  }
  EXPECT_EQ(sequence, "start idle-lost idle-lost idle-lost error ") << r.out;
  EXPECT_EQ(events.back().str("message"), "Connect failed to 127.0.0.1:" + p);
}

}  // namespace
