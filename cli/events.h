// The live event stream of --json-stream: one JSON object per line on stdout, each written whole and
// flushed at once, whichever thread it comes from (the library's monitor, the measuring thread, the
// latency prober).
#pragma once

#include <string>
#include <vector>

#include "probe.h"

// Writes a run's "start" object, with the result's "version" and the run's "timestamp" (RFC 3339, UTC),
// which its "result" repeats. The "elapsed_ms" of the run's events count from timeline_begin.
void event_start(long long run, const std::string &timestamp, const std::string &server,
                 const std::string &host, const std::vector<std::string> &tests, int duration_ms, int count);

// One progress report of the library, as it was delivered.
void event_progress(const char *test, double mbps, int percent);

// One latency probe of the test ("idle", "download", "upload"): its time in milliseconds and its two
// parts, or lost; and when it was sent.
void event_latency(const char *test, const ProbeSample &probe);

// The run's result: the document --json prints for it, as the member "result".
void event_result(const std::string &result_json);

// A run that failed or was cancelled, with the library's message.
void event_error(const std::string &message);

// False once a write to stdout has failed (a closed pipe).
bool events_ok();
