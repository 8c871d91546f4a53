// The grade and the responsiveness, from made-up transfers whose every figure is known: the draft's
// trimmed mean, its goodput and responsiveness stages, and the confidence each transfer may earn.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "responsiveness.h"

namespace {

TEST(Grade, TheBufferbloatScale) {
  const struct {
    double increase_ms;
    const char *grade;
  } cases[] = {
      {-3, "A+"}, {0, "A+"},    {4.99, "A+"}, {5, "A"},   {29.9, "A"}, {30, "B"},   {59.99, "B"},
      {60, "C"},  {199.9, "C"}, {200, "D"},   {399, "D"}, {400, "F"},  {5000, "F"},
  };
  for (const auto &c : cases) EXPECT_STREQ(bloat_grade(c.increase_ms), c.grade) << c.increase_ms;
}

TEST(Responsiveness, TrimmedMeanLeavesOutTheHighestFivePercent) {
  EXPECT_EQ(trimmed_mean({}), 0);
  EXPECT_DOUBLE_EQ(trimmed_mean({3, 1, 2}), 2);
  // 19 values keep all (ceil(18.05) = 19); 20 drop the highest; 40 the highest two.
  std::vector<double> v(19, 10.0);
  v.push_back(1000);
  EXPECT_DOUBLE_EQ(trimmed_mean(v), 10) << "the outlier is the twentieth";
  v.pop_back();
  v.pop_back();
  v.push_back(1000);
  EXPECT_DOUBLE_EQ(trimmed_mean(v), (18 * 10 + 1000) / 19.0) << "nineteen keep every value";
  std::vector<double> forty(38, 4.0);
  forty.push_back(500);
  forty.push_back(900);
  EXPECT_DOUBLE_EQ(trimmed_mean(forty), 4);
}

// A transfer as the command sees one: started at t0 on the run's clock, the library's own start
// `setup_s` later (the connection), its progress reports every 100 ms from there (the first the start
// report at rate 0), and the final report `seconds` after the library's start. rate(t) gives the average
// since the library's start that a report at t carries.
TransferTrace make_trace(double t0, double setup_s, double seconds,
                         const std::function<double(double)> &rate) {
  TransferTrace trace;
  trace.started = true;
  trace.start_s = t0;
  const double library_start = t0 + setup_s;
  const int periods = static_cast<int>(std::lround(seconds / 0.1));
  for (int k = 1; k < periods; ++k) {
    const double t = library_start + 0.1 * k;
    trace.reports.push_back({t, k == 1 ? 0 : rate(t - library_start), (k - 1) * 100 / periods});
  }
  const double end = library_start + seconds + 0.001;
  trace.reports.push_back({end, rate(seconds), 100});
  trace.ended = true;
  trace.end_s = end;
  return trace;
}

// Probes every 100 ms from 100 ms into the transfer until its end, with the given connect and reply
// times in milliseconds as functions of the time since the transfer's start.
std::vector<ProbeSample> make_probes(const TransferTrace &trace, const std::function<double(double)> &connect,
                                     const std::function<double(double)> &reply) {
  std::vector<ProbeSample> probes;
  for (double t = trace.start_s + 0.1; t < trace.end_s; t += 0.1) {
    const double since = t - trace.start_s;
    probes.push_back({t, connect(since) + reply(since), connect(since), reply(since)});
  }
  return probes;
}

const auto steady_80 = [](double) { return 80.0; };  // 80 Mbit/s: 10 MB a second

TEST(Responsiveness, BytesPerSecondFromTheReports) {
  const TransferTrace trace = make_trace(2.0, 0.05, 5, steady_80);
  const std::vector<double> bytes = bytes_in_each_second(trace);
  ASSERT_EQ(bytes.size(), 5u) << "five whole seconds from the transfer's start";
  EXPECT_NEAR(bytes[0], 9.5e6, 1e3) << "the first second lost 50 ms to the connection";
  for (size_t k = 1; k < bytes.size(); ++k) EXPECT_NEAR(bytes[k], 10e6, 1e3) << k;
}

TEST(Responsiveness, ConfidenceAsTheDraftGivesIt) {
  const auto connect_10 = [](double) { return 10.0; };
  const auto reply_12 = [](double) { return 12.0; };
  const double steady_rpm = 60000 / 11.0;  // (TM(connect) + TM(reply)) / 2 = 11 ms
  const struct {
    const char *what;
    double seconds;
    std::function<double(double)> rate, connect, reply;
    bool known;
    Confidence confidence;
    double rpm;  // 0: checked below instead
  } cases[] = {
      // A 5 s transfer cannot run the responsiveness stage: goodput saturates at interval 6 at the
      // earliest.
      {"5 s, everything steady", 5, steady_80, connect_10, reply_12, true, Confidence::low, steady_rpm},
      {"1.5 s: no whole window", 1.5, steady_80, connect_10, reply_12, true, Confidence::low, steady_rpm},
      // Ten whole seconds: goodput saturates at interval 6, responsiveness is stable over 6 to 9.
      {"10 s, everything steady", 10, steady_80, connect_10, reply_12, true, Confidence::high, steady_rpm},
      // A queue that keeps filling: each interval's figure is well below the one before, so the four
      // agree to no 5%: the stage ran its MAD intervals, without stability.
      {"10 s, latency still rising", 10, steady_80, connect_10, [](double t) { return 12.0 + 20 * t; }, true,
       Confidence::medium, 0},
      // Goodput that never levels off: working conditions are never declared.
      {"10 s, goodput still rising", 10, [](double t) { return 8.0 * t; }, connect_10, reply_12, true,
       Confidence::low, steady_rpm},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    const TransferTrace trace = make_trace(1.0, 0.05, c.seconds, c.rate);
    const Responsiveness r = compute_responsiveness(make_probes(trace, c.connect, c.reply), trace);
    EXPECT_EQ(r.known, c.known);
    EXPECT_EQ(r.confidence, c.confidence) << confidence_name(r.confidence);
    if (c.rpm > 0) {
      EXPECT_NEAR(r.rpm, c.rpm, 1e-6);
    }
  }
}

TEST(Responsiveness, TheFigureComesFromTheLastFourSecondsWithoutStability) {
  // Latency rising by 20 ms a second: the probes of seconds 6 to 10 reply in 132 to 212 ms, those before
  // faster. The figure is the current one, of the last MAD seconds only.
  const TransferTrace trace = make_trace(1.0, 0.05, 10, steady_80);
  const auto reply = [](double t) { return 12.0 + 20 * t; };
  const std::vector<ProbeSample> probes = make_probes(
      trace, [](double) { return 10.0; }, reply);
  const Responsiveness r = compute_responsiveness(probes, trace);
  std::vector<double> replies;
  for (const auto &p : probes) {
    if (p.t_s >= trace.end_s - 4) replies.push_back(p.reply_ms);
  }
  EXPECT_EQ(r.probes, static_cast<int>(replies.size()));
  EXPECT_NEAR(r.reply_tm_ms, trimmed_mean(replies), 1e-9);
  EXPECT_NEAR(r.connect_tm_ms, 10, 1e-9);
  EXPECT_NEAR(r.rpm, 60000 / ((10 + trimmed_mean(replies)) / 2), 1e-6);
}

TEST(Responsiveness, LostProbesAndOutliersDoNotCount) {
  const TransferTrace trace = make_trace(1.0, 0.05, 10, steady_80);
  std::vector<ProbeSample> probes = make_probes(
      trace, [](double) { return 10.0; }, [](double) { return 12.0; });
  // Every tenth probe lost, and one in the last seconds takes 2 s to connect: the trimmed mean leaves it
  // out, the lost ones have no figures.
  for (size_t i = 0; i < probes.size(); i += 10) probes[i] = {probes[i].t_s, kProbeLost, -1, -1};
  probes[probes.size() - 5].connect_ms = 2000;
  const Responsiveness r = compute_responsiveness(probes, trace);
  EXPECT_TRUE(r.known);
  EXPECT_EQ(r.confidence, Confidence::high);
  EXPECT_NEAR(r.rpm, 60000 / 11.0, 1e-6);

  // Nothing answered, or answers without their two parts: no figure at all.
  for (auto &p : probes) p = {p.t_s, kProbeLost, -1, -1};
  EXPECT_FALSE(compute_responsiveness(probes, trace).known);
  for (auto &p : probes) p = {p.t_s, 22, -1, -1};
  EXPECT_FALSE(compute_responsiveness(probes, trace).known);
}

}  // namespace
