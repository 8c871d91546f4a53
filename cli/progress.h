// Live progress of a measurement on the terminal, drawn on stderr from the library's progress reports.
#pragma once

#include <string>

// Starts drawing for one run. compact: the whole run shares one line, erased at the end (for --repeat,
// whose runs each end in a one-line summary); otherwise each test gets a line of its own that stays.
// prefix goes in front of every line (e.g. "Run 3  ").
void progress_begin(bool colour, bool compact, const std::string &prefix);

// One progress report, as the library delivers it: from the monitor thread or the measuring thread,
// one at a time. Does nothing unless a run's drawing has begun.
void progress_report(const char *phase, double rate_mbps, int percent);

// Ends the run's drawing: the open line is finished (or erased, when compact), so that what is printed
// next starts on a clean line. Safe to call when nothing was drawn.
void progress_end();
