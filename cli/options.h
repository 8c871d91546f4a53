// The command line of kestrum: what it may say, its defaults, and the usage text.
#pragma once

#include <string>

enum class TestSelection { all, ping, download, upload };

struct Options {
  std::string host;        // empty: measure against the bundled server
  int port = 0;            // set by parse_options: the given port or the default
  int duration_ms = 5000;  // per transfer
  int count = 10;          // latency samples of --only ping
  TestSelection only = TestSelection::all;
  bool json = false;
  bool json_stream = false;  // one JSON object per line as the run goes, instead of the summary
  long long repeat = 1;      // 0: until interrupted
  double interval_s = 60;    // between repeated runs
};

enum class ParseOutcome { run, help, version, usage_error };

// Reads argv. On usage_error, *error holds one line saying what is wrong.
ParseOutcome parse_options(int argc, const char *const *argv, Options *options, std::string *error);

// The --help text, defaults included.
std::string usage_text();
