// --plot: the SVG renders with a real renderer (librsvg's rsvg-convert) without a word on stderr, and what
// it draws is the run: every probe, every progress report of the transfers and the idle median, mapped back
// through the plot's own scales, match the run's --json-stream events and result.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "cli_process.h"
#include "plot.h"

namespace {

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Renders the SVG to PNG; the renderer's exit status and whatever it said.
struct Rendered {
  int status = -1;
  std::string said;
  std::string png;
};
Rendered render(const std::string &svg_path) {
  const std::string png = svg_path + ".png";
  const std::string said = svg_path + ".err";
  const std::string command = "rsvg-convert -o '" + png + "' '" + svg_path + "' 2>'" + said + "'";
  Rendered r;
  r.status = std::system(command.c_str());
  r.said = read_file(said);
  r.png = read_file(png);
  std::remove(png.c_str());
  std::remove(said.c_str());
  return r;
}

double attr(const std::string &element, const std::string &name) {
  const std::regex re(" " + name + "=\"([-0-9.]+)\"");
  std::smatch m;
  return std::regex_search(element, m, re) ? std::stod(m[1].str()) : NAN;
}

std::string text_attr(const std::string &element, const std::string &name) {
  const std::regex re(" " + name + "=\"([^\"]*)\"");
  std::smatch m;
  return std::regex_search(element, m, re) ? m[1].str() : "";
}

std::vector<std::string> elements(const std::string &svg, const std::string &tag, const std::string &cls) {
  std::vector<std::string> out;
  const std::regex re("<" + tag + " class=\"" + cls + "\"[^>]*>");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), re); it != std::sregex_iterator(); ++it) {
    out.push_back(it->str());
  }
  return out;
}

// The plot area's scales, from its data attributes: pixels back to seconds, Mbit/s and ms.
struct Scales {
  double left, right, top, bottom, t_max, rate_max, latency_max;
  explicit Scales(const std::string &svg) {
    std::smatch m;
    std::regex_search(svg, m, std::regex("<g id=\"plot-area\"[^>]*>"));
    const std::string g = m.str();
    left = attr(g, "data-left");
    right = attr(g, "data-right");
    top = attr(g, "data-top");
    bottom = attr(g, "data-bottom");
    t_max = attr(g, "data-t-max");
    rate_max = attr(g, "data-rate-max");
    latency_max = attr(g, "data-latency-max");
  }
  double t(double x) const { return (x - left) / (right - left) * t_max; }
  double rate(double y) const { return (bottom - y) / (bottom - top) * rate_max; }
  double ms(double y) const { return (bottom - y) / (bottom - top) * latency_max; }
  // What one pixel of each axis is worth, for the tolerance of drawn coordinates (two decimals).
  double t_px() const { return t_max / (right - left); }
  double rate_px() const { return rate_max / (bottom - top); }
  double ms_px() const { return latency_max / (bottom - top); }
};

struct Point {
  double t, value;
};

TEST(Plot, ARealRunRendersAndDrawsExactlyItsFigures) {
  const std::string path = ::testing::TempDir() + "kestrum-plot-run.svg";
  std::remove(path.c_str());
  const CliResult r = run_cli({"--json-stream", "-t", "1", "--plot", path});
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string svg = read_file(path);
  ASSERT_FALSE(svg.empty()) << "no plot written";

  const Rendered rendered = render(path);
  EXPECT_EQ(rendered.status, 0) << "rsvg-convert (Debian's librsvg2-bin; scripts/setup installs it): "
                                << rendered.said;
  EXPECT_EQ(rendered.said, "") << "the renderer warned";
  EXPECT_EQ(rendered.png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0) << "no PNG came out";

  // Axis titles with their units.
  for (const char *title : {"time since the run&apos;s start (s)", "latency of a probe (ms)"}) {
    EXPECT_NE(svg.find(title), std::string::npos) << title;
  }
  EXPECT_TRUE(svg.find("throughput (Gbit/s)") != std::string::npos ||
              svg.find("throughput (Mbit/s)") != std::string::npos);

  // What the run said, event by event.
  std::map<std::string, std::vector<Point>> probes;   // by phase: when sent, ms
  std::map<std::string, std::vector<Point>> reports;  // by transfer: when, Mbit/s
  std::map<std::string, int> lost;
  double idle_median = -1;
  for (const auto &line : split_lines(r.out)) {
    yyjson_doc *doc = yyjson_read(line.data(), line.size(), 0);
    yyjson_val *root = yyjson_doc_get_root(doc);
    const std::string type = yyjson_get_str(yyjson_obj_get(root, "type"));
    const char *test = yyjson_get_str(yyjson_obj_get(root, "test"));
    const double when = yyjson_get_num(yyjson_obj_get(root, "elapsed_ms")) / 1000;
    if (type == "latency") {
      if (yyjson_is_true(yyjson_obj_get(root, "lost"))) {
        ++lost[test];
      } else {
        probes[test].push_back({when, yyjson_get_num(yyjson_obj_get(root, "ms"))});
      }
    } else if (type == "progress" && (std::string(test) == "download" || std::string(test) == "upload")) {
      reports[test].push_back({when, yyjson_get_num(yyjson_obj_get(root, "mbps"))});
    } else if (type == "result") {
      idle_median = yyjson_get_num(
          yyjson_obj_get(yyjson_obj_get(yyjson_obj_get(root, "result"), "idle_latency"), "median_ms"));
    }
    yyjson_doc_free(doc);
  }
  ASSERT_EQ(probes["idle"].size(), 10u);
  ASSERT_GT(probes["download"].size(), 0u);
  ASSERT_GT(reports["upload"].size(), 2u);

  const Scales s(svg);
  // The stream gives whole milliseconds, truncated: a drawn time may lie up to 1 ms after the event's.
  const double t_slack = 0.0011 + s.t_px();
  for (const char *phase : {"idle", "download", "upload"}) {
    SCOPED_TRACE(phase);
    std::vector<Point> drawn;
    for (const auto &c : elements(svg, "circle", "probe")) {
      if (text_attr(c, "data-phase") == phase) drawn.push_back({s.t(attr(c, "cx")), s.ms(attr(c, "cy"))});
    }
    const std::vector<Point> &taken = probes[phase];
    ASSERT_EQ(drawn.size(), taken.size());
    for (size_t i = 0; i < drawn.size(); ++i) {
      EXPECT_NEAR(drawn[i].t, taken[i].t + 0.0005, t_slack) << i;
      EXPECT_NEAR(drawn[i].value, taken[i].value, s.ms_px()) << i;
    }
    size_t crosses = 0;
    for (const auto &p : elements(svg, "path", "lost")) crosses += text_attr(p, "data-phase") == phase;
    EXPECT_EQ(crosses, static_cast<size_t>(lost[phase]));
  }
  for (const char *transfer : {"download", "upload"}) {
    SCOPED_TRACE(transfer);
    std::string points;
    for (const auto &p : elements(svg, "polyline", "throughput")) {
      if (text_attr(p, "data-transfer") == transfer) points = text_attr(p, "points");
    }
    std::vector<Point> drawn;
    std::istringstream in(points);
    std::string pair;
    while (in >> pair) {
      const size_t comma = pair.find(',');
      drawn.push_back({s.t(std::stod(pair.substr(0, comma))), s.rate(std::stod(pair.substr(comma + 1)))});
    }
    const std::vector<Point> &given = reports[transfer];
    ASSERT_EQ(drawn.size(), given.size());
    for (size_t i = 0; i < drawn.size(); ++i) {
      EXPECT_NEAR(drawn[i].t, given[i].t + 0.0005, t_slack) << i;
      EXPECT_NEAR(drawn[i].value, given[i].value, s.rate_px()) << i;
    }
  }
  std::smatch m;
  ASSERT_TRUE(std::regex_search(svg, m, std::regex("<line id=\"idle-median\"[^>]*>")));
  EXPECT_NEAR(s.ms(attr(m.str(), "y1")), idle_median, s.ms_px());
  std::remove(path.c_str());
}

TEST(Plot, LostProbesAreMarkedAndAnyTitleStaysWellFormed) {
  PlotInput in;
  in.title = "<b>&\"odd\" 'name'</b> ([::1]:9301)";
  in.download = true;
  in.download_trace.started = in.download_trace.ended = true;
  in.download_trace.start_s = 1;
  in.download_trace.end_s = 3;
  for (int k = 1; k <= 20; ++k) in.download_trace.reports.push_back({1 + 0.1 * k, 18.5, k * 5});
  for (int k = 0; k < 10; ++k) in.idle_probes.push_back({0.1 * k, 0.3});
  for (int k = 0; k < 8; ++k)
    in.download_probes.push_back({1.1 + 0.25 * k, k % 3 == 0 ? kProbeLost : 180.0 + k});
  in.idle_known = true;
  in.idle_median_ms = 0.3;
  const std::string svg = render_plot(in);

  EXPECT_EQ(elements(svg, "path", "lost").size(), 3u);
  EXPECT_EQ(elements(svg, "circle", "probe").size(), 10u + 5u);
  EXPECT_NE(svg.find("throughput (Mbit/s)"), std::string::npos) << "below 1000 Mbit/s the axis reads Mbit/s";
  EXPECT_EQ(svg.find("<b>"), std::string::npos) << "the title's markup is text, not markup";

  const std::string path = ::testing::TempDir() + "kestrum-plot-lost.svg";
  std::FILE *f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(svg.data(), 1, svg.size(), f);
  std::fclose(f);
  const Rendered rendered = render(path);
  EXPECT_EQ(rendered.status, 0) << rendered.said;
  EXPECT_EQ(rendered.said, "");
  std::remove(path.c_str());
}

TEST(Plot, APathThatCannotBeWrittenIsRefusedBeforeMeasuring) {
  const CliResult r = run_cli({"--plot", "/nonexistent/folder/run.svg"}, 10000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("kestrum: --plot: cannot write /nonexistent/folder/run.svg"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("No server given"), std::string::npos) << "nothing was measured";
  const CliResult ping = run_cli({"--plot", ::testing::TempDir() + "x.svg", "--only", "ping"}, 10000);
  EXPECT_EQ(ping.exit_code, 2);
  EXPECT_NE(ping.err.find("--plot draws the transfers"), std::string::npos) << ping.err;
}

}  // namespace
