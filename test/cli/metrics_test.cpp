// The metrics file: the exposition text for a known state, and the replace-by-rename write.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "metrics.h"

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(Metrics, ExpositionTextOfAFullState) {
  MetricsState s;
  s.server = "192.0.2.10:9301";
  s.download_bytes_per_second = {true, 941.25 * 125000};
  s.upload_bytes_per_second = {true, 37.5 * 125000};
  s.latency_seconds = {true, 0.0125};
  s.jitter_seconds = {true, 0.00025};
  s.loaded_latency_seconds[0][0] = {true, 0.2};
  s.loaded_latency_seconds[0][1] = {true, 0.64};
  s.loaded_latency_seconds[1][0] = {true, 0.031};
  s.last_run_timestamp_seconds = 1796911716.5;
  s.last_run_success = true;
  s.runs_ok = 3;
  s.runs_failed = 1;
  const std::string text = render_metrics(s);
  const std::string server = "{server=\"192.0.2.10:9301\"}";
  for (const std::string &line : std::vector<std::string>{
           "# TYPE kestrum_download_bytes_per_second gauge",
           "kestrum_download_bytes_per_second" + server + " 117656250",
           "kestrum_upload_bytes_per_second" + server + " 4687500",
           "kestrum_latency_seconds" + server + " 0.0125",
           "kestrum_jitter_seconds" + server + " 0.00025",
           "# TYPE kestrum_loaded_latency_seconds summary",
           "kestrum_loaded_latency_seconds{server=\"192.0.2.10:9301\",phase=\"download\",quantile=\"0.5\"} "
           "0.2",
           "kestrum_loaded_latency_seconds{server=\"192.0.2.10:9301\",phase=\"download\",quantile=\"0.9\"} "
           "0.64",
           "kestrum_loaded_latency_seconds{server=\"192.0.2.10:9301\",phase=\"upload\",quantile=\"0.5\"} "
           "0.031",
           "kestrum_last_run_timestamp_seconds" + server + " 1796911716.5",
           "kestrum_last_run_success" + server + " 1",
           "# TYPE kestrum_runs_total counter",
           "kestrum_runs_total{server=\"192.0.2.10:9301\",result=\"ok\"} 3",
           "kestrum_runs_total{server=\"192.0.2.10:9301\",result=\"failed\"} 1",
       }) {
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\nin:\n" << text;
  }
  // A quantile never measured has no sample; every family has its HELP right before its TYPE.
  EXPECT_EQ(text.find("phase=\"upload\",quantile=\"0.9\""), std::string::npos);
  size_t families = 0;
  for (size_t at = text.find("# HELP "); at != std::string::npos; at = text.find("# HELP ", at + 1)) {
    ++families;
    EXPECT_EQ(text.compare(text.find('\n', at) + 1, 7, "# TYPE "), 0) << text.substr(at, 60);
  }
  EXPECT_EQ(families, 8u);
}

TEST(Metrics, OnlyWhatWasMeasuredAndLabelsEscaped) {
  // Before any success only the run bookkeeping is there; a server text with quotes stays one label.
  MetricsState s;
  s.server = "odd\"host\\name:1";
  s.runs_failed = 1;
  s.last_run_timestamp_seconds = 10;
  const std::string text = render_metrics(s);
  EXPECT_EQ(text.find("bytes_per_second"), std::string::npos) << text;
  EXPECT_EQ(text.find("kestrum_latency_seconds"), std::string::npos) << text;
  EXPECT_NE(text.find("kestrum_last_run_success{server=\"odd\\\"host\\\\name:1\"} 0\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("result=\"failed\"} 1\n"), std::string::npos) << text;
}

TEST(Metrics, FileIsReplacedWholeAndNoTemporaryStays) {
  char dir_template[] = "/tmp/kestrum-metrics-XXXXXX";
  const char *dir = mkdtemp(dir_template);
  ASSERT_NE(dir, nullptr);
  const std::string path = std::string(dir) + "/kestrum.prom";
  std::string error;
  ASSERT_TRUE(write_metrics_file(path, "first\n", &error)) << error;
  ASSERT_TRUE(write_metrics_file(path, "second\n", &error)) << error;
  EXPECT_EQ(read_file(path), "second\n");
  // Only the file itself is left in the folder.
  std::string names;
  DIR *d = opendir(dir);
  ASSERT_NE(d, nullptr);
  while (const dirent *e = readdir(d)) {
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
      names += std::string(e->d_name) + " ";
  }
  closedir(d);
  EXPECT_EQ(names, "kestrum.prom ");
  std::remove(path.c_str());
  rmdir(dir);

  EXPECT_FALSE(write_metrics_file("/nonexistent-folder/kestrum.prom", "x\n", &error));
  EXPECT_NE(error.find("/nonexistent-folder/"), std::string::npos) << error;
}

}  // namespace
