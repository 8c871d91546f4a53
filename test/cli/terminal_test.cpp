// The command on a terminal (a pseudo-terminal here): live progress redrawn in place, colour unless
// NO_COLOR or a dumb terminal says otherwise, and nothing of that with --json.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "cli_process.h"
#include "cli_support.h"

namespace {

std::string without_escapes(const std::string &raw) {
  static const std::regex escape("\x1b\\[[0-9;]*[A-Za-z]");
  return std::regex_replace(raw, escape, "");
}

// What a terminal shows once the output is written: "\r" returns to the start of the line and what
// follows overwrites it. Empty lines are left out.
std::vector<std::string> screen(const std::string &raw) {
  std::vector<std::string> shown;
  for (const auto &written : split_lines(without_escapes(raw))) {
    std::string line;
    size_t cursor = 0;
    for (const char ch : written) {
      if (ch == '\r') {
        cursor = 0;
        continue;
      }
      if (cursor < line.size()) {
        line[cursor] = ch;
      } else {
        line.push_back(ch);
      }
      ++cursor;
    }
    line.erase(line.find_last_not_of(' ') + 1);
    if (!line.empty()) shown.push_back(line);
  }
  return shown;
}

size_t count_of(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

CliResult run_on_terminal(const std::vector<std::string> &args,
                          std::vector<std::pair<std::string, std::string>> env = {{"TERM", "xterm"}},
                          std::vector<std::string> unset = {"NO_COLOR"}) {
  CliLaunch launch;
  launch.args = args;
  launch.terminal = true;
  launch.set_env = std::move(env);
  launch.unset_env = std::move(unset);
  return run_cli(launch);
}

TEST(Terminal, EachTestGetsALineRedrawnInPlaceThenTheSummary) {
  const CliResult r = run_on_terminal({"--duration", "300ms"});
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.exit_code, 0) << r.out;

  const std::vector<std::string> lines = screen(r.out);
  ASSERT_EQ(lines.size(), 21u) << r.out;
  EXPECT_EQ(lines[0].rfind("No server given: ", 0), 0u) << lines[0];
  const std::regex ping("^Ping +\\[#{30}\\] 100%$");
  const std::regex transfer("^(Download|Upload) +\\[#{30}\\] 100% +([0-9.]+ [MG]bit/s)$");
  EXPECT_TRUE(std::regex_match(lines[1], ping)) << lines[1];
  std::smatch down;
  std::smatch up;
  ASSERT_TRUE(std::regex_match(lines[2], down, transfer)) << lines[2];
  ASSERT_TRUE(std::regex_match(lines[3], up, transfer)) << lines[3];
  EXPECT_EQ(down[1].str(), "Download");
  EXPECT_EQ(up[1].str(), "Upload");
  // Each line ends on the transfer's own final report: the figure the summary gives.
  EXPECT_EQ(lines[5], "Download   " + down[2].str());
  EXPECT_EQ(lines[6], "Upload     " + up[2].str());
  EXPECT_EQ(lines[4].rfind("Server     127.0.0.1:", 0), 0u) << lines[4];
  // Idle, download and upload latency side by side.
  EXPECT_TRUE(std::regex_match(lines[7], std::regex("^ +idle +download +upload$"))) << lines[7];
  EXPECT_TRUE(std::regex_match(lines[8], std::regex("^Latency( +[0-9.]+ ms){3}$"))) << lines[8];

  // In place: every test's line was drawn more than once.
  const std::string plain = without_escapes(r.out);
  EXPECT_GE(count_of(plain, "\rPing"), 10u);  // one report per sample
  EXPECT_GE(count_of(plain, "\rDownload"), 2u);
  EXPECT_GE(count_of(plain, "\rUpload"), 2u);
}

struct ColourCase {
  const char *what;
  std::vector<std::pair<std::string, std::string>> env;
  std::vector<std::string> unset;
  bool colour;
};

TEST(Terminal, ColourUnlessNoColorOrADumbTerminal) {
  const ColourCase cases[] = {
      {"NO_COLOR unset", {{"TERM", "xterm"}}, {"NO_COLOR"}, true},
      {"NO_COLOR=1", {{"TERM", "xterm"}, {"NO_COLOR", "1"}}, {}, false},
      {"NO_COLOR empty", {{"TERM", "xterm"}, {"NO_COLOR", ""}}, {}, true},
      {"TERM=dumb", {{"TERM", "dumb"}}, {"NO_COLOR"}, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const CliResult r = run_on_terminal({"--only", "download", "--duration", "100ms"}, c.env, c.unset);
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.out.find("\x1b[") != std::string::npos, c.colour) << r.out;
    EXPECT_NE(without_escapes(r.out).find("\rDownload"), std::string::npos) << "progress is drawn either way";
  }
}

TEST(Terminal, JsonDrawsNoProgress) {
  const CliResult r = run_on_terminal({"--json", "--only", "ping", "--count", "3"});
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(r.out.find_first_of("\r\x1b"), std::string::npos) << r.out;
  const std::vector<std::string> lines = split_lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;  // the notice and the result
  EXPECT_EQ(parse_result(lines[1]).phase, "complete") << lines[1];
}

TEST(Terminal, SeriesSharesOneProgressLineThatGivesWayToEachSummary) {
  const CliResult r =
      run_on_terminal({"--repeat", "2", "--interval", "0", "--only", "download", "--duration", "100ms"});
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.exit_code, 0) << r.out;
  const std::vector<std::string> lines = screen(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  for (int run = 1; run <= 2; ++run) {
    const std::regex summary(
        ".*  run " + std::to_string(run) +
        "  127\\.0\\.0\\.1:[0-9]+  idle latency [0-9.]+ ms  download [0-9.]+ [MG]bit/s"
        // a 100 ms transfer may see no probe answered, and then has no figures
        "  download latency (-( \\([0-9]+ lost\\))?|[0-9.]+ ms p90 [0-9.]+ ms( \\([0-9]+ lost\\))?"
        " bloat (A\\+|[A-DF]) \\([+-][0-9.]+ ms\\) [0-9]+ RPM (low|medium|high))$");
    EXPECT_TRUE(std::regex_match(lines[static_cast<size_t>(run)], summary))
        << lines[static_cast<size_t>(run)];
    EXPECT_NE(without_escapes(r.out).find("\rRun " + std::to_string(run) + "  Download"), std::string::npos);
  }
}

}  // namespace
