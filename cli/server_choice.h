// Which servers a run measures: each name resolved once, and of several the nearest, the one with the
// lowest median of a few pings; with --each every server in turn.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "options.h"
#include "probe.h"
#include "report.h"

// The server a run measures: the address it was resolved to once, and how to name it.
struct Target {
  std::string label;  // "HOST:PORT" as the user named it, the metrics' server label (server_label)
  Endpoint endpoint;
  std::string display;                      // "NAME (ADDR:PORT)", or "ADDR:PORT" when NAME is the address
  std::vector<CandidateReport> candidates;  // with several servers: how each fared
};

// The targets to measure, in order: with --each one per server, else the one chosen among them all. A
// group in which no server can be measured says why on stderr (and as an event with --json-stream) and is
// passed to unmeasured, by the label of its first server, before the next group is tried. Stops choosing
// at an interrupt.
std::vector<Target> choose_targets(const Options &o, const std::vector<ServerName> &servers,
                                   const std::function<void(const std::string &label)> &unmeasured);
