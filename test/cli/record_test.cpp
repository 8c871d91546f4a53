// The command's record of its runs as the binary keeps it: files checked before anything is measured,
// --each with a set of series per server, a damaged state that never stops the run, and two processes at
// once that lose no update.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli_process.h"
#include "cli_support.h"

namespace fs = std::filesystem;

namespace {

std::string read(const fs::path &p) { return file_text(p.string()); }

size_t lines_starting(const std::string &text, char c) {
  size_t n = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) n += !line.empty() && line[0] == c;
  return n;
}

class Record : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fresh_test_folder("kestrum-record");
    ASSERT_NE(server_.server(), nullptr) << server_.error();
    live_ = "127.0.0.1:" + std::to_string(server_port(server_.server()));
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string metrics() const { return (dir_ / "k.prom").string(); }
  std::string state() const { return (dir_ / "state").string(); }
  // A quick run of the live server that keeps its record in the two files.
  std::vector<std::string> ping_run(const std::string &repeat) const {
    return {live_,        "--only", "ping",   "--count",        "1",       "--repeat",     repeat,
            "--interval", "0",      "--json", "--metrics-file", metrics(), "--state-file", state()};
  }

  fs::path dir_;
  InProcessServer server_;
  std::string live_;
};

TEST_F(Record, FilesThatCannotBeWrittenAreFoundBeforeAnythingIsMeasured) {
  // A minute of transfers each: only a check made before the measurement ends within the limit.
  const struct {
    std::vector<std::string> files;
    std::string says;
  } cases[] = {
      {{"--metrics-file", "/nonexistent/dir/k.prom"},
       "cannot write /nonexistent/dir/k.prom: folder /nonexistent/dir: No such file or directory"},
      {{"--metrics-file", "/"}, "cannot write /: it names a folder, not a file"},
      {{"--metrics-file", dir_.string()}, "cannot write " + dir_.string() + ": it is a folder"},
      {{"--metrics-file", metrics(), "--state-file", "/nonexistent/state"},
       "cannot write /nonexistent/state: folder /nonexistent: No such file or directory"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.says);
    std::vector<std::string> args = {live_, "-t", "60"};
    args.insert(args.end(), c.files.begin(), c.files.end());
    const CliResult r = run_cli(args, 10000);
    ASSERT_TRUE(r.finished) << "measured before finding out";
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "kestrum: " + c.says + "\n");
    EXPECT_FALSE(fs::exists(metrics()));
  }
}

TEST_F(Record, EachServerIsMeasuredInTurnWithSeriesOfItsOwn) {
  const ClosedPort closed;
  const std::string refused = "127.0.0.1:" + std::to_string(closed.port());
  const CliResult r = run_cli({live_, refused, "--each", "--only", "ping", "--count", "2", "--repeat", "2",
                               "--interval", "0", "--json", "--metrics-file", metrics()});
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 1) << "one server failed";
  // The live server's two runs, each a line of its own and no choice among candidates; the refused one's
  // two failures on stderr, named.
  EXPECT_EQ(lines_starting(r.out, '{'), 2u) << r.out;
  EXPECT_EQ(r.out.find("candidates"), std::string::npos) << r.out;
  EXPECT_EQ(parse_result(r.out.substr(0, r.out.find('\n'))).server, live_);
  for (const std::string run : {"run 1", "run 2"}) {
    EXPECT_NE(r.err.find("kestrum: " + run + ": " + refused + ": "), std::string::npos) << r.err;
  }
  const std::string text = read(metrics());
  for (const std::string &line : {
           "kestrum_runs_total{server=\"" + live_ + "\",result=\"ok\"} 2",
           "kestrum_runs_total{server=\"" + live_ + "\",result=\"failed\"} 0",
           "kestrum_runs_total{server=\"" + refused + "\",result=\"ok\"} 0",
           "kestrum_runs_total{server=\"" + refused + "\",result=\"failed\"} 2",
           "kestrum_last_run_success{server=\"" + refused + "\"} 0",
       }) {
    EXPECT_NE(text.find(line + "\n"), std::string::npos) << line << "\nin:\n" << text;
  }
  EXPECT_NE(text.find("kestrum_latency_seconds{server=\"" + live_ + "\"} "), std::string::npos) << text;
}

TEST_F(Record, ADamagedStateIsSetAsideAndTheRunGoesOn) {
  { std::ofstream(state()) << "{\"kestrum_state\":1,\"servers\":[{\"server\":"; }  // cut off mid-write
  const CliResult r = run_cli(ping_run("1"));
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(lines_starting(r.out, '{'), 1u) << r.out;
  EXPECT_NE(r.err.find("kestrum: warning: state " + state() + ": not JSON"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("set aside as " + state() + ".corrupt, counting starts afresh"), std::string::npos)
      << r.err;
  EXPECT_EQ(read(state() + ".corrupt"), "{\"kestrum_state\":1,\"servers\":[{\"server\":");
  EXPECT_NE(read(metrics()).find("kestrum_runs_total{server=\"" + live_ + "\",result=\"ok\"} 1\n"),
            std::string::npos);
  // The state written in its place is whole: the next run counts on from it, without a warning.
  const CliResult next = run_cli(ping_run("1"));
  ASSERT_TRUE(next.finished);
  EXPECT_EQ(next.exit_code, 0) << next.err;
  EXPECT_EQ(next.err, "");
  EXPECT_NE(read(metrics()).find("kestrum_runs_total{server=\"" + live_ + "\",result=\"ok\"} 2\n"),
            std::string::npos);
}

TEST_F(Record, TwoProcessesAtOnceLoseNoUpdate) {
  // A manual run beside the timer's, many times over: each run's update must survive the other's.
  CliLaunch launch;
  launch.args = ping_run("15");
  CliProcess a(launch), b(launch);
  ASSERT_TRUE(a.started());
  ASSERT_TRUE(b.started());
  ASSERT_TRUE(a.finish(60000));
  ASSERT_TRUE(b.finish(60000));
  EXPECT_EQ(a.exit_code(), 0) << a.err();
  EXPECT_EQ(b.exit_code(), 0) << b.err();
  EXPECT_EQ(lines_starting(a.out(), '{') + lines_starting(b.out(), '{'), 30u);
  // The last update came after every other: the file holds all 30.
  EXPECT_NE(read(metrics()).find("kestrum_runs_total{server=\"" + live_ + "\",result=\"ok\"} 30\n"),
            std::string::npos)
      << read(metrics());
  EXPECT_NE(read(state()).find("\"runs_ok\": 30,"), std::string::npos) << read(state());
}

}  // namespace
