// A picture of one run, as an SVG file (--plot): the throughput of each transfer over time from its
// progress reports, on the left axis; every latency probe as a point on the right axis, the idle ones
// included; the idle median as a dashed line; lost probes as crosses along the top. The times are those
// of the run's clock, in seconds from its start.
//
// The drawing is plain SVG 1.1 (lines, polylines, circles, text) that any renderer shows alike. Each
// series carries a class and the plot area its scales as data attributes (data-t-max, data-rate-max,
// data-latency-max, and its edges), so a test can map what was drawn back to figures.
#pragma once

#include <string>
#include <vector>

#include "probe.h"
#include "timeline.h"

struct PlotInput {
  std::string title;  // e.g. "server (address) 2026-12-10T13:45:07.250Z"
  bool download = false;
  bool upload = false;
  TransferTrace download_trace;
  TransferTrace upload_trace;
  std::vector<ProbeSample> idle_probes;
  std::vector<ProbeSample> download_probes;
  std::vector<ProbeSample> upload_probes;
  bool idle_known = false;  // whether any idle probe was answered
  double idle_median_ms = 0;
};

// The whole SVG document.
std::string render_plot(const PlotInput &input);
