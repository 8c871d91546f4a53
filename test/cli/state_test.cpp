// The state between runs: its text reads back exactly, what is not a usable state is refused and set
// aside, separate processes count as one does, and runs at once lose nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.h"
#include "state.h"

namespace fs = std::filesystem;

namespace {

std::string read(const fs::path &p) { return file_text(p.string()); }

void write(const fs::path &p, const std::string &text) { std::ofstream(p, std::ios::binary) << text; }

class State : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = fresh_test_folder("kestrum-state"); }
  void TearDown() override { fs::remove_all(dir_); }

  std::string metrics() const { return (dir_ / "k.prom").string(); }
  std::string state() const { return (dir_ / "state").string(); }

  // One run recorded by a process of its own: a fresh Recorder, as a timer's run starts.
  void separate_run(const std::string &server, bool ok, double now, const RunFigures &f,
                    std::string *warning = nullptr) {
    Recorder r;
    std::string error, w;
    ASSERT_TRUE(recorder_open(&r, metrics(), state(), &error)) << error;
    ASSERT_TRUE(recorder_run(&r, server, ok, now, f, &w, &error)) << error;
    if (warning != nullptr) *warning = w;
  }

  fs::path dir_;
};

ServerRecord sample_record(const std::string &server) {
  ServerRecord r;
  r.server = server;
  r.figures[kDownloadRate] = {true, 0.1 + 0.2};
  r.figures[kUploadRate] = {true, 123456789.123456789};
  r.figures[kIdleLatency] = {true, 1e-300};
  r.figures[kLoadedP90Upload] = {true, 5e-324};  // the smallest double there is
  r.figures[kLoadedMedianDownload] = {true, 0};
  r.figures[kLoadedIncreaseUpload] = {true, -0.000123};  // a difference: under load below idle
  r.last_run_timestamp_seconds = 1796911716.123456;
  r.last_run_success = false;
  r.last_success_timestamp_seconds = 1796911000.5;
  r.runs_ok = 1LL << 53;
  r.runs_failed = 7;
  return r;
}

TEST_F(State, TheTextReadsBackExactly) {
  const std::vector<ServerRecord> records = {sample_record("192.0.2.10:9301"), sample_record("h\xc3\xbc:1"),
                                             ServerRecord{}};
  std::vector<ServerRecord> copy = records;
  copy[2].server = "[::1]:9301";
  const std::string text = state_text(copy);
  std::vector<ServerRecord> back;
  std::string why;
  ASSERT_TRUE(state_parse(text, &back, &why)) << why << "\n" << text;
  ASSERT_EQ(back.size(), copy.size());
  for (size_t i = 0; i < copy.size(); ++i) {
    EXPECT_EQ(back[i].server, copy[i].server);
    EXPECT_EQ(back[i].runs_ok, copy[i].runs_ok);
    EXPECT_EQ(back[i].runs_failed, copy[i].runs_failed);
    EXPECT_EQ(back[i].last_run_success, copy[i].last_run_success);
    EXPECT_EQ(back[i].last_run_timestamp_seconds, copy[i].last_run_timestamp_seconds);
    EXPECT_EQ(back[i].last_success_timestamp_seconds, copy[i].last_success_timestamp_seconds);
    for (int f = 0; f < kFigureCount; ++f) {
      EXPECT_EQ(back[i].figures[f].known, copy[i].figures[f].known) << kFigureSpecs[f].key;
      EXPECT_EQ(back[i].figures[f].value, copy[i].figures[f].value) << kFigureSpecs[f].key;
    }
  }
  EXPECT_EQ(state_text(back), text);
  // So the metrics file says the same from the state as from the records themselves.
  EXPECT_EQ(render_metrics(back, "v"), render_metrics(copy, "v"));
}

TEST_F(State, WhatIsNotAUsableStateIsRefused) {
  const std::string entry = R"({"server":"a:1","runs_ok":1,"runs_failed":0,"last_run_timestamp_seconds":5,)"
                            R"("last_run_success":true,"last_success_timestamp_seconds":5,"figures":{}})";
  const auto with = [](const std::string &servers) {
    return R"({"kestrum_state":1,"servers":[)" + servers + "]}";
  };
  const auto changed = [&entry](const std::string &from, const std::string &to) {
    std::string e = entry;
    e.replace(e.find(from), from.size(), to);
    return e;
  };
  std::string many;
  for (size_t i = 0; i <= kMaxStateServers; ++i) {
    many += (i ? "," : "") + changed("\"a:1\"", "\"a:" + std::to_string(i + 1) + "\"");
  }
  const struct {
    std::string text;
    std::string why;
  } cases[] = {
      {"", "not JSON"},
      {"kestrum", "not JSON"},
      {with(entry).substr(0, 60), "not JSON"},
      {"[]", "not a kestrum state"},
      {R"({"servers":[]})", "not a kestrum state"},
      {R"({"kestrum_state":2,"servers":[]})", "state format"},
      {R"({"kestrum_state":"1","servers":[]})", "state format"},
      {R"({"kestrum_state":1,"servers":{}})", "list of at most"},
      {with(many), "list of at most"},
      {with("1"), "not an object"},
      {with(changed(R"("server":"a:1",)", "")), "without its name"},
      {with(changed(R"("a:1")", R"("")")), "without its name"},
      {with(changed(R"("runs_ok":1)", R"("runs_ok":-1)")), "out of range"},
      {with(changed(R"("runs_ok":1)", R"("runs_ok":1.5)")), "out of range"},
      {with(changed(R"("runs_failed":0)", R"("runs_failed":9007199254740993)")), "out of range"},
      {with(changed(R"("last_run_timestamp_seconds":5)", R"("last_run_timestamp_seconds":-5)")),
       "out of range"},
      {with(changed(R"("last_run_success":true)", R"("last_run_success":1)")), "out of range"},
      {with(changed(R"(,"figures":{})", "")), "no figures"},
      {with(changed(R"("figures":{})", R"("figures":{"latency_seconds":"fast"})")), "latency_seconds"},
      {with(changed(R"("figures":{})", R"("figures":{"download_bytes_per_second":-1})")), "download_bytes"},
      {with(changed(R"("figures":{})", R"("figures":{"responsiveness_rpm.upload":-1})")),
       "responsiveness_rpm"},
      {with(entry + "," + entry), "listed twice"},
  };
  for (const auto &c : cases) {
    std::vector<ServerRecord> records = {ServerRecord{}};
    std::string why;
    EXPECT_FALSE(state_parse(c.text, &records, &why)) << c.text;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.text << "\ngave: " << why;
    EXPECT_EQ(records.size(), 1u) << "a refused text leaves the records as they were";
  }
  // A figure this version does not know is a later version's, not damage.
  std::vector<ServerRecord> records;
  std::string why;
  ASSERT_TRUE(
      state_parse(with(changed(R"("figures":{})", R"("figures":{"responsiveness":3,"latency_seconds":0.5})")),
                  &records, &why))
      << why;
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].figures[kIdleLatency].value, 0.5);
}

TEST_F(State, SeparateRunsGiveWhatOneProcessGives) {
  RunFigures a, b;
  a.figures[kDownloadRate] = {true, 117656250.5};
  a.figures[kLoadedMedianUpload] = {true, 0.0314159};
  b.figures[kIdleLatency] = {true, 0.000412};
  const struct {
    std::string server;
    bool ok;
    const RunFigures *figures;
  } runs[] = {{"x:1", true, &a}, {"y:2", false, nullptr}, {"x:1", false, nullptr},
              {"y:2", true, &b}, {"x:1", true, &b},       {"y:2", false, nullptr}};

  Recorder one;
  std::string error, warning;
  const std::string one_metrics = (dir_ / "one.prom").string();
  ASSERT_TRUE(recorder_open(&one, one_metrics, "", &error)) << error;
  double now = 1796911716.25;
  for (const auto &run : runs) {
    now += 901.125;
    const RunFigures f = run.figures != nullptr ? *run.figures : RunFigures();
    ASSERT_TRUE(recorder_run(&one, run.server, run.ok, now, f, &warning, &error)) << error;
    ASSERT_NO_FATAL_FAILURE(separate_run(run.server, run.ok, now, f));
  }
  // The separate runs' file lists only the last process's server; one process lists both.
  const std::string last = read(metrics());
  const std::string whole = read(one_metrics);
  EXPECT_NE(last.find("kestrum_runs_total{server=\"y:2\",result=\"failed\"} 2\n"), std::string::npos) << last;
  EXPECT_NE(last.find("kestrum_latency_seconds{server=\"y:2\"} 0.000412\n"), std::string::npos) << last;
  Recorder both;
  ASSERT_TRUE(recorder_open(&both, metrics(), state(), &error)) << error;
  ASSERT_TRUE(recorder_run(&both, "x:1", true, now + 1, b, &warning, &error)) << error;
  ASSERT_TRUE(recorder_run(&one, "x:1", true, now + 1, b, &warning, &error)) << error;
  ASSERT_TRUE(recorder_run(&both, "y:2", false, now + 2, RunFigures(), &warning, &error)) << error;
  ASSERT_TRUE(recorder_run(&one, "y:2", false, now + 2, RunFigures(), &warning, &error)) << error;
  EXPECT_EQ(read(metrics()), read(one_metrics));
  EXPECT_NE(whole.find("kestrum_download_bytes_per_second{server=\"x:1\"} 117656250.5\n"), std::string::npos);
  EXPECT_TRUE(warning.empty()) << warning;
  // The state is the owner's alone: it says what was measured from where.
  struct stat st {};
  ASSERT_EQ(stat(state().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(State, AStateThatCannotBeUsedIsSetAsideAndCountingStartsAfresh) {
  const fs::path outside = dir_ / "outside";
  const struct {
    const char *what;
    std::string says;
    void (*plant)(const fs::path &state, const fs::path &outside);
  } cases[] = {
      {"garbage", "not JSON", [](const fs::path &s, const fs::path &) { write(s, "\x01\x02 not a state"); }},
      {"another program's JSON", "not a kestrum state",
       [](const fs::path &s, const fs::path &) { write(s, R"({"servers":[1,2,3]})"); }},
      {"a link", "it is a link",
       [](const fs::path &s, const fs::path &o) {
         write(o, R"({"kestrum_state":1,"servers":[]})");
         fs::create_symlink(o, s);
       }},
      {"a pipe nobody writes", "not a regular file",
       [](const fs::path &s, const fs::path &) { ASSERT_EQ(mkfifo(s.c_str(), 0600), 0); }},
      {"too large", "larger than",
       [](const fs::path &s, const fs::path &) { write(s, std::string(kMaxStateBytes + 1, ' ')); }},
  };
  RunFigures f;
  f.figures[kDownloadRate] = {true, 1000};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(state());
    fs::remove(state() + ".corrupt");
    c.plant(state(), outside);
    const std::string outside_before = fs::exists(outside) ? read(outside) : "";
    std::string warning;
    ASSERT_NO_FATAL_FAILURE(separate_run("x:1", true, 5, f, &warning));
    EXPECT_NE(warning.find(c.says), std::string::npos) << warning;
    EXPECT_NE(warning.find("set aside as " + state() + ".corrupt"), std::string::npos) << warning;
    EXPECT_TRUE(fs::exists(fs::symlink_status(state() + ".corrupt")));
    EXPECT_NE(read(metrics()).find("kestrum_runs_total{server=\"x:1\",result=\"ok\"} 1\n"),
              std::string::npos);
    EXPECT_FALSE(fs::is_symlink(state()));
    std::vector<ServerRecord> now;
    std::string why;
    EXPECT_TRUE(state_parse(read(state()), &now, &why)) << why;
    if (fs::exists(outside)) {
      EXPECT_EQ(read(outside), outside_before) << "written through the link";
    }
  }
  // A missing state starts fresh without a word.
  fs::remove(state());
  std::string warning = "x";
  ASSERT_NO_FATAL_FAILURE(separate_run("x:1", false, 6, RunFigures(), &warning));
  EXPECT_EQ(warning, "");
}

TEST_F(State, TheStateKeepsItsBoundsByForgettingTheOldest) {
  for (size_t i = 0; i < kMaxStateServers + 3; ++i) {
    // Server 0 is measured last of all, so server 1, 2 and 3 are the oldest.
    const size_t server = (i + 1) % (kMaxStateServers + 3);
    ASSERT_NO_FATAL_FAILURE(separate_run("s:" + std::to_string(server + 1), true, 10.0 + i, RunFigures()));
  }
  std::vector<ServerRecord> records;
  std::string why;
  ASSERT_TRUE(state_parse(read(state()), &records, &why)) << why;
  ASSERT_EQ(records.size(), kMaxStateServers);
  for (const ServerRecord &r : records) {
    EXPECT_NE(r.server, "s:2");
    EXPECT_NE(r.server, "s:3");
    EXPECT_NE(r.server, "s:4");
  }
  // One server whose label alone nearly fills the bound is still kept, and the others make room for it.
  const std::string huge(kMaxStateBytes - 4096, 'h');
  ASSERT_NO_FATAL_FAILURE(separate_run(huge, true, 1e6, RunFigures()));
  ASSERT_TRUE(state_parse(read(state()), &records, &why)) << why;
  EXPECT_LE(fs::file_size(state()), kMaxStateBytes);
  EXPECT_EQ(records.back().server, huge);
}

TEST_F(State, RunsAtOnceLoseNoUpdate) {
  // Each thread records as a process of its own would: its own Recorder, its own open of the lock file.
  constexpr int kThreads = 4;
  constexpr int kRuns = 25;
  std::vector<std::thread> threads;
  std::vector<std::string> errors(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &errors] {
      Recorder r;
      std::string warning;
      if (!recorder_open(&r, metrics(), state(), &errors[t])) return;
      for (int i = 0; i < kRuns; ++i) {
        if (!recorder_run(&r, "x:1", i % 5 != 0, i, RunFigures(), &warning, &errors[t])) return;
        if (!warning.empty()) errors[t] = warning;
      }
    });
  }
  for (auto &th : threads) th.join();
  for (const auto &e : errors) EXPECT_EQ(e, "");
  const std::string text = read(metrics());
  EXPECT_NE(text.find("result=\"ok\"} " + std::to_string(kThreads * kRuns * 4 / 5) + "\n"), std::string::npos)
      << text;
  EXPECT_NE(text.find("result=\"failed\"} " + std::to_string(kThreads * kRuns / 5) + "\n"), std::string::npos)
      << text;
}

}  // namespace
