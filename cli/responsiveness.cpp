// Responsiveness after draft-ietf-ippm-responsiveness. The sections cited are those of the draft's text as
// read for this code (the -06 revision and the working copy after it; their titles are the way to find
// them in a later revision):
//   5.2      "Test Parameters": MAD = 4 intervals, ID = 1 s, TMP = 95%, SDT = 5%.
//   5.3      "Measuring Responsiveness": a foreign probe gives tcp_f (the TCP handshake) and http_f (the
//            request on the new connection until its whole reply); all in milliseconds.
//   5.3.1    "Aggregating the Measurements": the last MAD intervals' probes, each kind aggregated by a
//            single-sided trimmed mean at TMP.
//   5.3.1.2  "For the TCP-Only Case": Foreign_Responsiveness = 60000 / ((TM(tcp_f) + TM(http_f)) / 2);
//            the result averages it with the self-probe figure, which this command does not measure, so
//            the foreign figure is what it gives (responsiveness.h says so where it is shown).
//   5.4      "Final Algorithm": every interval; first goodput saturation (the standard deviation of the
//            last MAD moving averages of goodput below SDT of the latest), then responsiveness saturation
//            (the same test on the responsiveness of the last MAD intervals, computed from saturation on).
//   5.4.1    "Confidence of Test-Results": Low when the responsiveness stage did not even run MAD
//            intervals, Medium when it did but did not reach stability, High when it reached it.
//
// Applied to a transfer of fixed length on one connection: the goodput stage reads the progress reports;
// a moving average needs MAD whole intervals and the stability test MAD such averages, so goodput can
// saturate at the end of the seventh second at the earliest (interval 6), and the responsiveness stage
// runs from that interval on, the saturating one included (the draft's steps test responsiveness in the
// same interval). A 5 s transfer can therefore only earn Low, a 10 s one Medium or High at best from its
// last four seconds. The figure given is that of the interval where responsiveness was stable; without
// stability it is the one of the transfer's last MAD seconds, the draft's "current results".
#include "responsiveness.h"

#include <algorithm>
#include <cmath>

#include "figures.h"

namespace {

constexpr int kMad = 4;           // moving average distance, intervals
constexpr double kIntervalS = 1;  // ID
constexpr double kTmp = 0.95;     // trimmed mean percentage
constexpr double kSdt = 0.05;     // standard deviation tolerance
constexpr double kMonitorPeriodS = 0.1;

// Population standard deviation.
double deviation(const std::vector<double> &v) {
  double mean = 0;
  for (const double x : v) mean += x;
  mean /= static_cast<double>(v.size());
  double sum = 0;
  for (const double x : v) sum += (x - mean) * (x - mean);
  return std::sqrt(sum / static_cast<double>(v.size()));
}

// The draft's stability test: the last MAD values' standard deviation below SDT of the latest one.
bool stable(const std::vector<double> &last) {
  return last.back() > 0 && deviation(last) < kSdt * last.back();
}

// Responsiveness of the probes sent in [from_s, to_s) of the run's clock.
Responsiveness window(const std::vector<ProbeSample> &probes, double from_s, double to_s) {
  std::vector<double> connects;
  std::vector<double> replies;
  for (const auto &p : probes) {
    if (p.t_s < from_s || p.t_s >= to_s || p.ms < 0 || p.connect_ms < 0 || p.reply_ms < 0) continue;
    connects.push_back(p.connect_ms);
    replies.push_back(p.reply_ms);
  }
  Responsiveness r;
  if (connects.empty()) return r;
  r.connect_tm_ms = trimmed_mean(connects);
  r.reply_tm_ms = trimmed_mean(replies);
  const double round_trip_ms = (r.connect_tm_ms + r.reply_tm_ms) / 2;
  if (!(round_trip_ms > 0)) return r;
  r.known = true;
  r.rpm = 60000 / round_trip_ms;
  r.probes = static_cast<int>(connects.size());
  return r;
}

}  // namespace

const char *bloat_grade(double increase_ms) {
  if (increase_ms < 5) return "A+";
  if (increase_ms < 30) return "A";
  if (increase_ms < 60) return "B";
  if (increase_ms < 200) return "C";
  if (increase_ms < 400) return "D";
  return "F";
}

const char *confidence_name(Confidence c) {
  switch (c) {
    case Confidence::high:
      return "high";
    case Confidence::medium:
      return "medium";
    case Confidence::low:
      break;
  }
  return "low";
}

double trimmed_mean(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t keep = static_cast<size_t>(std::ceil(kTmp * static_cast<double>(values.size()) - 1e-9));
  double sum = 0;
  for (size_t i = 0; i < keep; ++i) sum += values[i];
  return sum / static_cast<double>(keep);
}

std::vector<double> bytes_in_each_second(const TransferTrace &trace) {
  std::vector<double> out;
  if (!trace.started || !trace.ended || trace.reports.empty()) return out;
  // The cumulative bytes at each report: its average rate times the time since the library's start. The
  // first report is the start report, rate 0 whatever has arrived by then; a report of rate 0 says nothing
  // the line from the start does not.
  const double library_start = trace.reports.front().t_s - kMonitorPeriodS;
  std::vector<std::pair<double, double>> cumulative = {{library_start, 0}};
  for (const auto &r : trace.reports) {
    if (!(r.mbps > 0)) continue;
    const double bytes = bytes_per_second(r.mbps) * (r.t_s - library_start);
    cumulative.push_back({r.t_s, std::max(bytes, cumulative.back().second)});
  }
  auto at = [&cumulative](double t) {
    if (t <= cumulative.front().first) return 0.0;
    for (size_t i = 1; i < cumulative.size(); ++i) {
      if (t <= cumulative[i].first) {
        const auto &a = cumulative[i - 1];
        const auto &b = cumulative[i];
        const double span = b.first - a.first;
        return span > 0 ? a.second + (b.second - a.second) * (t - a.first) / span : b.second;
      }
    }
    return cumulative.back().second;
  };
  const int whole = static_cast<int>(std::floor((trace.end_s - trace.start_s) / kIntervalS + 1e-9));
  for (int k = 0; k < whole; ++k) {
    const double from = trace.start_s + k * kIntervalS;
    out.push_back(at(from + kIntervalS) - at(from));
  }
  return out;
}

Responsiveness compute_responsiveness(const std::vector<ProbeSample> &probes, const TransferTrace &trace) {
  if (!trace.started || !trace.ended) return Responsiveness();
  const double t0 = trace.start_s;
  const std::vector<double> bytes = bytes_in_each_second(trace);
  const int intervals = static_cast<int>(bytes.size());

  // Goodput stage: the moving average at interval p covers p and the MAD - 1 before it.
  std::vector<double> moving;  // moving[p - (kMad - 1)]
  int saturated_at = -1;
  for (int p = kMad - 1; p < intervals && saturated_at < 0; ++p) {
    double sum = 0;
    for (int k = p - kMad + 1; k <= p; ++k) sum += bytes[static_cast<size_t>(k)];
    moving.push_back(sum / (kMad * kIntervalS));
    if (moving.size() >= static_cast<size_t>(kMad) &&
        stable(std::vector<double>(moving.end() - kMad, moving.end()))) {
      saturated_at = p;
    }
  }

  // Responsiveness stage, from the saturating interval on: each interval's figure from its last MAD
  // intervals' probes; stable once MAD of them agree.
  std::vector<double> figures;
  for (int p = saturated_at; saturated_at >= 0 && p < intervals; ++p) {
    const Responsiveness r = window(probes, t0 + (p + 1 - kMad) * kIntervalS, t0 + (p + 1) * kIntervalS);
    figures.push_back(r.known ? r.rpm : 0);
    if (figures.size() >= static_cast<size_t>(kMad) &&
        stable(std::vector<double>(figures.end() - kMad, figures.end()))) {
      Responsiveness high = r;
      high.confidence = Confidence::high;
      return high;
    }
  }
  const int stage_intervals = saturated_at < 0 ? 0 : intervals - saturated_at;

  // No stability: the current results, from the probes of the transfer's last MAD seconds (all of a
  // shorter one). Probes sent a moment after the end still belong to the transfer.
  Responsiveness current = window(probes, std::max(t0, trace.end_s - kMad * kIntervalS), 1e300);
  current.confidence = stage_intervals >= kMad ? Confidence::medium : Confidence::low;
  return current;
}
