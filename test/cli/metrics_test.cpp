// The metrics file's text: the exposition for known records, what a run contributes to a record, and
// label values that stay valid whatever bytes a host was given as.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "metrics.h"

namespace {

size_t count_of(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST(Metrics, ExpositionTextOfTwoServers) {
  ServerRecord full;
  full.server = "192.0.2.10:9301";
  full.figures[kDownloadRate] = {true, 941.25 * 125000};
  full.figures[kUploadRate] = {true, 37.5 * 125000};
  full.figures[kIdleLatency] = {true, 0.0125};
  full.figures[kIdleJitter] = {true, 0.00025};
  full.figures[kLoadedMedianDownload] = {true, 0.2};
  full.figures[kLoadedP90Download] = {true, 0.64};
  full.figures[kLoadedMedianUpload] = {true, 0.031};
  full.figures[kLoadedIncreaseDownload] = {true, 0.195};
  full.figures[kResponsivenessDownload] = {true, 301.5};
  full.figures[kResponsivenessUpload] = {true, 4100};
  full.last_run_timestamp_seconds = 1796911716.5;
  full.last_run_success = true;
  full.last_success_timestamp_seconds = 1796911716.5;
  full.runs_ok = 3;
  full.runs_failed = 1;
  ServerRecord failing;  // never measured: only its runs
  failing.server = "[2001:db8::1]:9400";
  failing.last_run_timestamp_seconds = 1796911800;
  failing.runs_failed = 2;

  const std::string text = render_metrics({full, failing}, "1.2.3");
  const std::string a = "server=\"192.0.2.10:9301\"";
  const std::string b = "server=\"[2001:db8::1]:9400\"";
  for (const std::string &line : std::vector<std::string>{
           "# TYPE kestrum_download_bytes_per_second gauge",
           "kestrum_download_bytes_per_second{" + a + "} 117656250",
           "kestrum_upload_bytes_per_second{" + a + "} 4687500",
           "kestrum_latency_seconds{" + a + "} 0.0125",
           "kestrum_jitter_seconds{" + a + "} 0.00025",
           "# TYPE kestrum_loaded_latency_median_seconds gauge",
           "kestrum_loaded_latency_median_seconds{" + a + ",direction=\"download\"} 0.2",
           "kestrum_loaded_latency_median_seconds{" + a + ",direction=\"upload\"} 0.031",
           "# TYPE kestrum_loaded_latency_p90_seconds gauge",
           "kestrum_loaded_latency_p90_seconds{" + a + ",direction=\"download\"} 0.64",
           "# TYPE kestrum_loaded_latency_increase_seconds gauge",
           "kestrum_loaded_latency_increase_seconds{" + a + ",direction=\"download\"} 0.195",
           "# TYPE kestrum_responsiveness_rpm gauge",
           "kestrum_responsiveness_rpm{" + a + ",direction=\"download\"} 301.5",
           "kestrum_responsiveness_rpm{" + a + ",direction=\"upload\"} 4100",
           "kestrum_last_run_timestamp_seconds{" + a + "} 1796911716.5",
           "kestrum_last_run_timestamp_seconds{" + b + "} 1796911800",
           "kestrum_last_success_timestamp_seconds{" + a + "} 1796911716.5",
           "kestrum_last_run_success{" + a + "} 1",
           "kestrum_last_run_success{" + b + "} 0",
           "# TYPE kestrum_runs_total counter",
           "kestrum_runs_total{" + a + ",result=\"ok\"} 3",
           "kestrum_runs_total{" + a + ",result=\"failed\"} 1",
           "kestrum_runs_total{" + b + ",result=\"ok\"} 0",
           "kestrum_runs_total{" + b + ",result=\"failed\"} 2",
           "# TYPE kestrum_build_info gauge",
           "kestrum_build_info{version=\"1.2.3\"} 1",
       }) {
    EXPECT_EQ(count_of(text, line + "\n"), 1u) << line << "\nin:\n" << text;
  }
  // What was never measured has no sample: no upload p90, nothing but runs for the failing server, and no
  // success time before a success.
  EXPECT_EQ(text.find("kestrum_loaded_latency_p90_seconds{" + a + ",direction=\"upload\"}"),
            std::string::npos);
  EXPECT_EQ(count_of(text, b), 4u) << text;
  // Every family once, its HELP right before its TYPE, all its samples below it before the next family.
  size_t families = 0;
  for (size_t at = text.find("# HELP "); at != std::string::npos; at = text.find("# HELP ", at + 1)) {
    ++families;
    const std::string name = text.substr(at + 7, text.find(' ', at + 7) - at - 7);
    EXPECT_EQ(text.compare(text.find('\n', at) + 1, 7 + name.size(), "# TYPE " + name), 0) << name;
    EXPECT_EQ(count_of(text, "# TYPE " + name + " "), 1u) << name;
    const size_t next = text.find("# HELP ", at + 1);
    EXPECT_EQ(count_of(text.substr(next == std::string::npos ? text.size() : next), "\n" + name + "{"), 0u)
        << name << " has samples after the next family";
  }
  EXPECT_EQ(families, 13u);
}

TEST(Metrics, ABadRunKeepsTheFiguresAndAGoodOneReplacesOnlyWhatItMeasured) {
  const char *full = R"({"server":"192.0.2.10:9301","ping_ms":2.5,"jitter_ms":0.5,"download_mbps":800,)"
                     R"("upload_mbps":40,"duration_ms":5000,"phase":"complete"})";
  RunReport run;
  LoadedReport &loaded = run.loaded;
  loaded.download = loaded.upload = true;
  loaded.idle = true;
  loaded.idle_latency.samples = 10;
  loaded.idle_latency.reply_ms = 0.5;
  loaded.download_latency.samples = 40;
  loaded.download_latency.median_ms = 30;
  loaded.download_latency.p90_ms = 45;
  loaded.download_latency.reply_ms = 15.5;
  loaded.upload_latency.samples = 0;  // every probe lost: no figure
  loaded.upload_latency.lost = 40;
  run.download.responsiveness.known = true;
  run.download.responsiveness.rpm = 3870.9;
  const RunFigures first = run_figures(TestSelection::all, full, run);

  ServerRecord r;
  record_run(&r, true, 100, first);
  record_run(&r, false, 200, RunFigures());
  EXPECT_EQ(r.runs_ok, 1);
  EXPECT_EQ(r.runs_failed, 1);
  EXPECT_FALSE(r.last_run_success);
  EXPECT_EQ(r.last_run_timestamp_seconds, 200);
  EXPECT_EQ(r.last_success_timestamp_seconds, 100);
  EXPECT_EQ(r.figures[kDownloadRate].value, 800 * 125000);
  EXPECT_EQ(r.figures[kLoadedMedianDownload].value, 0.03);
  EXPECT_EQ(r.figures[kLoadedP90Download].value, 0.045);
  EXPECT_FALSE(r.figures[kLoadedMedianUpload].known);
  EXPECT_DOUBLE_EQ(r.figures[kLoadedIncreaseDownload].value, 0.015) << "the reply's rise, in seconds";
  EXPECT_EQ(r.figures[kResponsivenessDownload].value, 3870.9);
  EXPECT_FALSE(r.figures[kLoadedIncreaseUpload].known);
  EXPECT_FALSE(r.figures[kResponsivenessUpload].known);

  // --only ping measures the idle latency and nothing else; the transfers' last figures stand.
  const char *ping = R"({"server":"192.0.2.10:9301","ping_ms":4,"jitter_ms":1,"download_mbps":0,)"
                     R"("upload_mbps":0,"duration_ms":0,"phase":"complete"})";
  record_run(&r, true, 300, run_figures(TestSelection::ping, ping, RunReport()));
  EXPECT_TRUE(r.last_run_success);
  EXPECT_EQ(r.last_success_timestamp_seconds, 300);
  EXPECT_EQ(r.figures[kIdleLatency].value, 0.004);
  EXPECT_EQ(r.figures[kIdleJitter].value, 0.001);
  EXPECT_EQ(r.figures[kDownloadRate].value, 800 * 125000);
  EXPECT_EQ(r.figures[kUploadRate].value, 40 * 125000);
  EXPECT_EQ(r.figures[kResponsivenessDownload].value, 3870.9);
}

TEST(Metrics, ServerLabelsAreValidUtf8WhateverTheHostBytes) {
  const struct {
    std::string host;
    int port;
    std::string label;
  } cases[] = {
      {"192.0.2.10", 9301, "192.0.2.10:9301"},
      {"::1", 9301, "[::1]:9301"},
      {"b\xc3\xbc"
       "cher.example",
       1,
       "b\xc3\xbc"
       "cher.example:1"},                                     // valid two-byte
      {"\xe2\x82\xac.example", 1, "\xe2\x82\xac.example:1"},  // valid three-byte
      {"\xf0\x9f\x98\x80", 1, "\xf0\x9f\x98\x80:1"},          // valid four-byte
      {"a\xff"
       "b",
       1, "a\\xFFb:1"},                                   // never in UTF-8
      {"\xc0\xaf", 1, "\\xC0\\xAF:1"},                    // overlong "/"
      {"\xed\xa0\x80", 1, "\\xED\\xA0\\x80:1"},           // a surrogate
      {"\xf4\x90\x80\x80", 1, "\\xF4\\x90\\x80\\x80:1"},  // above U+10FFFF
      {"x\xe2\x82", 1, "x\\xE2\\x82:1"},                  // cut short
      {"\x1b[31mred\n", 1, "\\x1B[31mred\\x0A:1"},        // control characters
  };
  for (const auto &c : cases) EXPECT_EQ(server_label(c.host, c.port), c.label) << c.host;

  // Quotes and backslashes stay in the label, escaped as the format asks.
  ServerRecord r;
  r.server = server_label("odd\"host\\name", 1);
  r.runs_failed = 1;
  const std::string text = render_metrics({r}, "0");
  EXPECT_NE(text.find("kestrum_last_run_success{server=\"odd\\\"host\\\\name:1\"} 0\n"), std::string::npos)
      << text;
}

}  // namespace
