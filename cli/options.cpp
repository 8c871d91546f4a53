#include "options.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "decimal.h"
#include "file_replace.h"
#include "infile.h"
#include "safe_text.h"
#include "server.h"

namespace {

constexpr int kMaxPort = 65535;
constexpr int kMaxDurationMs = 2147483647;  // what the library's int takes: about 24.8 days
constexpr int kMaxCount = 1000;             // the library takes at most this many samples
constexpr long long kMaxRepeat = 1000000000;
constexpr double kMaxIntervalS = 86400;

// A --servers file: far more than anyone lists fits (a host name is at most 253 bytes), and every server
// in it costs three pings of up to 2 s, so the count is bounded too.
constexpr size_t kMaxServersFileBytes = 1024 * 1024;
constexpr size_t kMaxServersLineBytes = 1024;
constexpr size_t kMaxServersInFile = 256;

// A value as a message quotes it: escaped, and cut short when long.
std::string quoted(const std::string &value) { return "'" + printable(value) + "'"; }

bool whole_option(const std::string &shown, const std::string &value, long long min, long long max,
                  long long *out, std::string *error) {
  if (parse_decimal_whole(value, min, max, out)) return true;
  *error = shown + ": " + quoted(value) + " is not a whole number from " + std::to_string(min) + " to " +
           std::to_string(max);
  return false;
}

// A plain decimal ("10", "2.5", "0.250") scaled by 10^shift into a whole number: seconds to milliseconds
// with shift 3, milliseconds as they are with 0. false when it is not such a decimal, when digits would be
// lost (a fraction of a millisecond), or when the result is not from 1 to kMaxDurationMs.
bool decimal_to_ms(const std::string &text, int shift, long long *ms) {
  const size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  if (whole.empty() || whole.size() > 10 || (dot != std::string::npos && fraction.empty())) return false;
  for (const char c : whole + fraction) {
    if (c < '0' || c > '9') return false;
  }
  long long value = std::stoll(whole);
  for (int k = 0; k < shift; ++k) {
    value =
        value * 10 + (static_cast<size_t>(k) < fraction.size() ? fraction[static_cast<size_t>(k)] - '0' : 0);
  }
  // Digits past the last millisecond must be zeros: 1.0005 s is no whole number of milliseconds.
  for (size_t k = static_cast<size_t>(shift); k < fraction.size(); ++k) {
    if (fraction[k] != '0') return false;
  }
  if (value < 1 || value > kMaxDurationMs) return false;
  *ms = value;
  return true;
}

// -t and --time: seconds, decimals allowed.
bool time_option(const std::string &shown, const std::string &value, int *duration_ms, std::string *error) {
  long long ms = 0;
  if (decimal_to_ms(value, 3, &ms)) {
    *duration_ms = static_cast<int>(ms);
    return true;
  }
  *error =
      shown + ": " + quoted(value) +
      " is not a number of seconds from 0.001 to 2147483.647, in whole milliseconds (e.g. -t 10, -t 2.5)";
  return false;
}

// --duration: a length with its unit, "10s", "1.5s" or "2500ms". A bare number is refused: it read as
// milliseconds once, and "--duration 10" was a 10 ms test.
bool duration_option(const std::string &value, int *duration_ms, std::string *error) {
  long long ms = 0;
  const bool has_ms = value.size() > 2 && value.compare(value.size() - 2, 2, "ms") == 0;
  const bool has_s = !has_ms && value.size() > 1 && value.back() == 's';
  if (has_ms && decimal_to_ms(value.substr(0, value.size() - 2), 0, &ms)) {
    *duration_ms = static_cast<int>(ms);
    return true;
  }
  if (has_s && decimal_to_ms(value.substr(0, value.size() - 1), 3, &ms)) {
    *duration_ms = static_cast<int>(ms);
    return true;
  }
  const bool bare = !value.empty() && value.find_first_not_of("0123456789.") == std::string::npos &&
                    value.find('.') == value.rfind('.');
  if (bare) {
    *error = "--duration: " + quoted(value) + " has no unit: write " + value + "s for seconds or " + value +
             "ms for milliseconds (or -t " + value + ")";
  } else {
    *error = "--duration: " + quoted(value) +
             " is not a length such as 10s, 1.5s or 2500ms, from 1ms to 2147483647ms in whole milliseconds";
  }
  return false;
}

// Leading and trailing blanks off.
std::string trim(const std::string &text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// One server as given, and where: "HOST" on the command line, "FILE:LINE" in a --servers file.
struct GivenName {
  std::string text;
  std::string origin;  // empty for the command line
};

// The servers of a --servers file: one HOST[:PORT] a line; '#' starts a comment; blank lines are skipped.
// A line that is too long, holds a NUL or is not UTF-8 is refused by its number, never echoed whole.
bool read_servers_file(const std::string &path, std::vector<GivenName> *names, std::string *error) {
  std::string data;
  if (!read_small_regular_file(path, kMaxServersFileBytes, &data, error)) {
    *error = "--servers: " + *error;
    return false;
  }
  const std::string where = "--servers: " + printable(path) + ":";
  size_t listed = 0;
  int number = 0;
  for (size_t start = 0; start < data.size();) {
    size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    const std::string line = data.substr(start, end - start);
    start = end + 1;
    const std::string at = where + std::to_string(++number) + ": ";
    if (line.size() > kMaxServersLineBytes) {
      *error = at + "the line is longer than " + std::to_string(kMaxServersLineBytes) + " bytes";
      return false;
    }
    if (line.find('\0') != std::string::npos) {
      *error = at + "the line holds a NUL byte";
      return false;
    }
    if (!is_utf8(line)) {
      *error = at + "the line is not UTF-8 text";
      return false;
    }
    const std::string text = trim(line.substr(0, line.find('#')));
    if (text.empty()) continue;
    if (text.find_first_of(" \t") != std::string::npos) {
      *error = at + "one HOST[:PORT] a line, not " + quoted(text);
      return false;
    }
    if (++listed > kMaxServersInFile) {
      *error = where + " more than " + std::to_string(kMaxServersInFile) + " servers";
      return false;
    }
    names->push_back({text, at.substr(0, at.size() - 2)});
  }
  return true;
}

}  // namespace

bool parse_server_name(const std::string &text, int default_port, ServerName *out) {
  ServerName entry;
  entry.port = default_port;
  std::string port_text;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return false;
    entry.host = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      port_text = rest.substr(1);
      if (port_text.empty()) return false;
    }
  } else {
    const size_t colon = text.find(':');
    if (colon != std::string::npos && text.find(':', colon + 1) == std::string::npos) {
      entry.host = text.substr(0, colon);
      port_text = text.substr(colon + 1);
      if (port_text.empty()) return false;
    } else {
      entry.host = text;  // a name, an IPv4 address or a bare IPv6 address
    }
  }
  if (entry.host.empty()) return false;
  // No name or address holds a control character; one that does would only reach the terminal.
  for (const char c : entry.host) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  long long port = 0;
  if (!port_text.empty()) {
    if (!parse_decimal_whole(port_text, 1, kMaxPort, &port)) return false;
    entry.port = static_cast<int>(port);
  }
  *out = entry;
  return true;
}

ParseOutcome parse_options(int argc, const char *const *argv, Options *options, std::string *error) {
  Options o;
  bool host_given = false;
  bool port_given = false;
  bool duration_given = false;
  bool count_given = false;
  bool repeat_given = false;
  bool interval_given = false;
  bool options_done = false;     // after "--" every argument is positional
  std::vector<GivenName> names;  // HOST[:PORT] as given, then those of --servers
  std::string servers_file;

  auto usage = [error](std::string message) {
    *error = std::move(message);
    return ParseOutcome::usage_error;
  };

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg.empty() || arg[0] != '-') {
      if (arg.empty()) return usage("HOST must not be empty");
      if (!is_utf8(arg)) return usage("HOST " + quoted(arg) + " is not UTF-8 text");
      names.push_back({arg, ""});
      host_given = true;
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h") return ParseOutcome::help;
    if (arg == "-4" || arg == "-6") {
      const Family family = arg == "-4" ? Family::ipv4 : Family::ipv6;
      if (o.family != Family::any && o.family != family) return usage("-4 and -6 exclude each other");
      o.family = family;
      continue;
    }

    // --name, --name=value or --name value; the short forms -t VALUE (or -tVALUE), -p N, -J and -V stand
    // for --time, --port, --json and --version. `shown` is the option as typed, for the messages.
    std::string name;
    std::string shown;
    std::string value;
    bool inline_value = false;
    if (arg.compare(0, 2, "--") == 0) {
      const size_t eq = arg.find('=');
      name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      shown = "--" + name;
      inline_value = eq != std::string::npos;
      if (inline_value) value = arg.substr(eq + 1);
    } else {
      const char letter = arg[1];
      const char *long_name = letter == 't'   ? "time"
                              : letter == 'p' ? "port"
                              : letter == 'J' ? "json"
                              : letter == 'V' ? "version"
                                              : nullptr;
      const bool takes_value = letter == 't' || letter == 'p';
      if (long_name == nullptr || (!takes_value && arg.size() > 2)) {
        return usage("unknown option " + quoted(arg));
      }
      name = long_name;
      shown = arg.substr(0, 2);
      inline_value = arg.size() > 2;
      if (inline_value) value = arg.substr(2);
    }

    if (name == "ipv4" || name == "ipv6") {
      if (inline_value) return usage(shown + " takes no value");
      const Family family = name == "ipv4" ? Family::ipv4 : Family::ipv6;
      if (o.family != Family::any && o.family != family) return usage("-4 and -6 exclude each other");
      o.family = family;
      continue;
    }
    if (name == "help" || name == "version" || name == "json" || name == "json-stream" || name == "each") {
      if (inline_value) return usage(shown + " takes no value");
      if (name == "help") return ParseOutcome::help;
      if (name == "version") return ParseOutcome::version;
      if (name == "json") {
        o.json = true;
      } else if (name == "each") {
        o.each = true;
      } else {
        o.json_stream = true;
      }
      continue;
    }
    if (name != "port" && name != "time" && name != "duration" && name != "count" && name != "only" &&
        name != "repeat" && name != "interval" && name != "servers" && name != "metrics-file" &&
        name != "state-file" && name != "plot") {
      return usage("unknown option " + quoted("--" + name));
    }
    if (!inline_value) {
      if (i + 1 >= argc) return usage(shown + " needs a value");
      value = argv[++i];
    }

    long long n = 0;
    if (name == "metrics-file") {
      if (value.empty()) return usage("--metrics-file needs a file name");
      o.metrics_file = value;
    } else if (name == "plot") {
      if (value.empty()) return usage("--plot needs a file name");
      o.plot_file = value;
    } else if (name == "state-file") {
      if (value.empty()) return usage("--state-file needs a file name");
      o.state_file = value;
    } else if (name == "servers") {
      if (value.empty()) return usage("--servers needs a file name");
      if (!servers_file.empty()) return usage("--servers may be given once");
      servers_file = value;
    } else if (name == "port") {
      if (!whole_option(shown, value, 1, kMaxPort, &n, error)) return ParseOutcome::usage_error;
      o.port = static_cast<int>(n);
      port_given = true;
    } else if (name == "time") {
      if (!time_option(shown, value, &o.duration_ms, error)) return ParseOutcome::usage_error;
      duration_given = true;
    } else if (name == "duration") {
      if (!duration_option(value, &o.duration_ms, error)) return ParseOutcome::usage_error;
      duration_given = true;
    } else if (name == "count") {
      if (!whole_option(shown, value, 1, kMaxCount, &n, error)) return ParseOutcome::usage_error;
      o.count = static_cast<int>(n);
      count_given = true;
    } else if (name == "repeat") {
      if (!whole_option(shown, value, 0, kMaxRepeat, &n, error)) return ParseOutcome::usage_error;
      o.repeat = n;
      repeat_given = true;
    } else if (name == "interval") {
      if (!parse_decimal_seconds(value, kMaxIntervalS, &o.interval_s)) {
        return usage("--interval: " + quoted(value) + " is not a number of seconds from 0 to 86400");
      }
      interval_given = true;
    } else {  // only
      if (value == "ping") {
        o.only = TestSelection::ping;
      } else if (value == "download") {
        o.only = TestSelection::download;
      } else if (value == "upload") {
        o.only = TestSelection::upload;
      } else {
        return usage("--only: " + quoted(value) + " is not one of ping, download, upload");
      }
    }
  }

  // Options that would silently do nothing are refused, so nobody believes they measured what they asked.
  if (port_given && !host_given && servers_file.empty()) {
    return usage("--port needs a HOST (without one, the bundled server listens on a free port)");
  }
  if (count_given && o.only != TestSelection::ping) {
    return usage("--count applies to --only ping (a full run always takes 10 samples)");
  }
  if (duration_given && o.only == TestSelection::ping) {
    return usage("-t and --duration apply to the transfers, not to --only ping");
  }
  if (interval_given && !repeat_given) return usage("--interval applies to --repeat");
  if (!o.plot_file.empty() && o.only == TestSelection::ping) {
    return usage("--plot draws the transfers; --only ping has none");
  }
  // Found out now, not after the measurement.
  if (!o.plot_file.empty() && !file_replace_check(o.plot_file, error)) {
    *error = "--plot: " + printable(*error);
    return ParseOutcome::usage_error;
  }
  if (o.json && o.json_stream) return usage("--json and --json-stream exclude each other");
  if (!o.state_file.empty() && o.metrics_file.empty()) {
    return usage("--state-file applies to --metrics-file (it keeps the metrics' counts between runs)");
  }
  if (!o.state_file.empty() && o.state_file == o.metrics_file) {
    return usage("--state-file and --metrics-file must name different files");
  }
  if (o.each && !host_given && servers_file.empty()) {
    return usage("--each needs the servers to measure: HOST... or --servers FILE");
  }

  if (!port_given) o.port = kDefaultServerPort;
  if (!servers_file.empty()) {
    const size_t given = names.size();
    if (!read_servers_file(servers_file, &names, error)) return ParseOutcome::usage_error;
    if (names.size() == given) return usage("--servers: " + quoted(servers_file) + " names no server");
  }
  for (const auto &entry : names) {
    ServerName server;
    if (!parse_server_name(entry.text, o.port, &server)) {
      return usage((entry.origin.empty() ? "" : entry.origin + ": ") + quoted(entry.text) +
                   " is not HOST, HOST:PORT or [IPV6]:PORT with a port from 1 to 65535");
    }
    o.servers.push_back(server);
  }
  *options = o;
  return ParseOutcome::run;
}

std::string usage_text() {
  const Options d;
  char text[8192];
  std::snprintf(text, sizeof text,
                "Usage: kestrum [HOST[:PORT]...] [options]\n"
                "\n"
                "Measures latency, jitter, download and upload throughput to a kestrum speed-test server,\n"
                "and the latency while the download and the upload run. Without HOST, it starts the\n"
                "bundled server on 127.0.0.1 (::1 with -6) and measures against that. HOST is resolved\n"
                "once; the address it gives is what is measured. With several servers, each gets 3 pings\n"
                "and the one with the lowest median is measured; those that do not answer are skipped.\n"
                "With --each, every server is measured in turn instead.\n"
                "\n"
                "Options:\n"
                "  -p, --port N    the server's TCP port, 1 to 65535 (default %d; needs HOST), for\n"
                "                  servers given without one\n"
                "  --servers FILE  servers to choose from, one HOST[:PORT] a line ([IPV6]:PORT), '#'\n"
                "                  comments; added to any HOST on the command line. A regular file of\n"
                "                  UTF-8 text, at most 1 MiB, lines of at most 1024 bytes, 256 servers\n"
                "  --each          measure every server in turn, not only the nearest: one summary or\n"
                "                  JSON line, and one set of metrics, per server\n"
                "  -4, --ipv4      resolve HOST to IPv4 addresses only\n"
                "  -6, --ipv6      resolve HOST to IPv6 addresses only\n"
                "  -t, --time SECONDS\n"
                "                  length of each transfer in seconds, decimals allowed (-t 2.5), from\n"
                "                  0.001 to 2147483.647 (default %g)\n"
                "  --duration LENGTH\n"
                "                  the same with its unit: 10s, 1.5s or 2500ms (a bare number is refused)\n"
                "  --count N       latency samples for --only ping, 1 to %d (default %d; a full run\n"
                "                  always takes 10)\n"
                "  --only TEST     run one test: ping, download or upload (default: all three)\n"
                "  -J, --json      print the result as one line of JSON per run, without progress: the\n"
                "                  library's members, then version, timestamp, idle_latency,\n"
                "                  loaded_latency, responsiveness, ended_early, candidates (see README)\n"
                "  --json-stream   print the run as it goes, one JSON object per line: start, progress,\n"
                "                  latency, result, error (see README); nothing else on stdout\n"
                "  --repeat N      measure N times, 0 for until interrupted (default %lld)\n"
                "  --interval S    seconds between repeated runs, 0 to 86400 (default %g)\n"
                "  --plot FILE.svg draw each good run into FILE: throughput over time, every latency probe,\n"
                "                  the idle median, lost probes (with --repeat, the last run)\n"
                "  --metrics-file PATH\n"
                "                  after every run, write the figures in Prometheus' text format to PATH\n"
                "                  (for node_exporter's textfile collector: a name ending in .prom), by\n"
                "                  way of a temporary file in the same folder, so no reader sees half of it\n"
                "  --state-file PATH\n"
                "                  keep the metrics' run counts and last good figures in PATH between\n"
                "                  runs, so that separate runs (a timer's) count as one long process does;\n"
                "                  read and written under a lock, a damaged one set aside as PATH.corrupt\n"
                "  -h, --help      show this help and exit\n"
                "  -V, --version   show the version and exit\n"
                "\n"
                "Latency under load: 10 probes before the transfers (the idle baseline), then during the\n"
                "download and the upload a probe every 100 ms (at most 10 a second, one at a time), each a\n"
                "fresh TCP connection timed from its attempt to the reply, in two parts: the connection's\n"
                "set-up and the request to its reply. One without an answer in 2 s counts as lost.\n"
                "Median, 90th percentile, jitter, the parts' medians, samples and lost are reported; each\n"
                "transfer gets a bufferbloat grade (A+ to F) on the rise of the median reply over idle,\n"
                "and its RPM from these fresh-connection TCP probes (the TCP-only figure of the IETF\n"
                "responsiveness draft, not its full test) with the draft's confidence.\n"
                "\n"
                "On a terminal, each test shows its progress, then a summary follows; with --repeat, one\n"
                "line per run. A run that fails is reported on stderr and the next one still starts.\n"
                "Ctrl-C cancels the measurement; a second Ctrl-C ends the program at once.\n"
                "Colour is off when NO_COLOR is set (and not empty) or the output is not a terminal.\n"
                "\n"
                "Exit status: 0 success, 1 a measurement failed, 2 usage error (bad input), 130 cancelled.\n",
                kDefaultServerPort, d.duration_ms / 1000.0, kMaxCount, d.count, d.repeat, d.interval_s);
  return text;
}
