// How well the path kept responding while a transfer loaded it: a bufferbloat grade on the increase of
// latency over idle, and responsiveness in round trips per minute (RPM) as the IETF IPPM draft
// "Responsiveness under Working Conditions" (draft-ietf-ippm-responsiveness) computes it from probes on
// fresh connections. Free of clocks and sockets: the figures come from the samples and the transfer's
// trace, so the tests give exact cases.
//
// What the RPM here is, and what it is not. The draft's full test loads the path with up to 16
// connections, probes over TLS and also sends probes on the loaded connections themselves ("self
// probes"); its result averages the two kinds. This command has one loaded connection, no TLS and only
// probes on connections of their own ("foreign probes"), each a TCP handshake followed by one request and
// its reply. So the figure is the draft's foreign responsiveness in its TCP-only form, and it is labelled
// so wherever it is shown: "RPM from fresh-connection TCP probes". It leaves out how the loaded connection
// itself responds (its own queue in the sender's socket, for one) and is not comparable one to one with
// a full responsiveness test's result.
#pragma once

#include <vector>

#include "probe.h"
#include "timeline.h"

// What the RPM is measured from, as the output names it.
constexpr const char *kResponsivenessBasis = "from fresh-connection TCP probes";

// The grade the popular bufferbloat tests give the increase of latency under load over idle, in ms:
// "A+" below 5, "A" below 30, "B" below 60, "C" below 200, "D" below 400, "F" from 400. A decrease is A+.
const char *bloat_grade(double increase_ms);

// The draft's confidence in a result (its section "Confidence of Test-Results").
enum class Confidence { low, medium, high };
const char *confidence_name(Confidence c);  // "low", "medium", "high"

struct Responsiveness {
  bool known = false;  // false when no probe of the window was answered with both of its parts
  double rpm = 0;
  Confidence confidence = Confidence::low;
  double connect_tm_ms = 0;  // trimmed mean of the probes' connection set-up times (the draft's tcp_f)
  double reply_tm_ms = 0;    // trimmed mean of their request-to-reply times (the draft's http_f)
  int probes = 0;            // answered probes the figure comes from
};

// The draft's single-sided trimmed mean: the mean of the values once the highest 5% are left out (the
// ceil(0.95 n) smallest are kept, so fewer than 20 values keep all). 0 for no values.
double trimmed_mean(std::vector<double> values);

// The bytes moved in each whole second of the transfer from its start, from its progress reports: each
// report's rate is the library's average since the transfer's own start, which lies one monitor period
// (100 ms) before its first report.
std::vector<double> bytes_in_each_second(const TransferTrace &trace);

// Responsiveness of one transfer from the probes sent while it ran (their times on the run's clock) and
// its trace; see responsiveness.cpp for the draft's steps as applied here.
Responsiveness compute_responsiveness(const std::vector<ProbeSample> &probes, const TransferTrace &trace);
