// One run against one server: the library's measurement with the command's latency prober beside it, and
// the library's progress reports sent on to the timeline, the prober and the screen or the event stream.
#pragma once

#include "options.h"
#include "probe.h"
#include "report.h"

enum class Outcome { ok, failed, cancelled };

// Takes the library's progress reports (kestrum_set_tick) for the runs that follow, as o asks for them:
// "progress" events with --json-stream, else the progress line. Before the first run.
void measure_reports_begin(const Options &o);

// Lets go of the library's progress reports. After the last run has returned.
void measure_reports_end();

// Measures what o asks for against endpoint (the address resolved once, so that no figure includes the
// resolver): the idle baseline, then the library's run with the prober probing its transfers. Fills
// report's latency and transfer parts; cancelled whenever an interrupt came, whatever the library made
// of it.
Outcome measure_once(const Options &o, const Endpoint &endpoint, RunReport *report);
