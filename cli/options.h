// The command line of kestrum: what it may say, its defaults, and the usage text.
#pragma once

#include <string>
#include <vector>

enum class TestSelection { all, ping, download, upload };

// Which addresses a server's name may resolve to.
enum class Family { any, ipv4, ipv6 };

// One server to choose from: a name or address literal (IPv6 without brackets) and its port.
struct ServerName {
  std::string host;
  int port = 0;
};

struct Options {
  std::vector<ServerName> servers;  // in the order given; empty: measure against the bundled server
  int port = 0;  // set by parse_options: the given port or the default, for servers without one
  Family family = Family::any;
  int duration_ms = 5000;  // per transfer; given in seconds (-t) or with a unit (--duration)
  int count = 10;          // latency samples of --only ping
  TestSelection only = TestSelection::all;
  bool json = false;
  bool json_stream = false;  // one JSON object per line as the run goes, instead of the summary
  long long repeat = 1;      // 0: until interrupted
  double interval_s = 60;    // between repeated runs
  std::string metrics_file;  // where to write Prometheus' text format after every run; empty: nowhere
  std::string plot_file;     // where to draw the run as SVG after every good run; empty: nowhere
  std::string state_file;    // where the metrics' counts and figures outlive the process; empty: nowhere
  bool each = false;         // measure every server in turn instead of choosing the nearest
};

enum class ParseOutcome { run, help, version, usage_error };

// Reads "HOST", "HOST:PORT", "[V6ADDR]" or "[V6ADDR]:PORT"; a bare IPv6 address (two colons or more) is
// a HOST. default_port applies when none is given. false when the host is empty or holds a control
// character, or the port is not a whole number from 1 to 65535.
bool parse_server_name(const std::string &text, int default_port, ServerName *out);

// Reads argv. --servers FILE is read here, so that a missing file or a bad line is a usage error. On
// usage_error, *error holds one line saying what is wrong.
ParseOutcome parse_options(int argc, const char *const *argv, Options *options, std::string *error);

// The --help text, defaults included.
std::string usage_text();
