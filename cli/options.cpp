#include "options.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "decimal.h"
#include "server.h"

namespace {

constexpr int kMaxPort = 65535;
constexpr int kMaxDurationMs = 2147483647;  // what the library's int takes: about 24 days
constexpr int kMaxCount = 1000;             // the library takes at most this many samples
constexpr long long kMaxRepeat = 1000000000;
constexpr double kMaxIntervalS = 86400;

bool whole_option(const std::string &name, const std::string &value, long long min, long long max,
                  long long *out, std::string *error) {
  if (parse_decimal_whole(value, min, max, out)) return true;
  *error = "--" + name + ": '" + value + "' is not a whole number from " + std::to_string(min) + " to " +
           std::to_string(max);
  return false;
}

// Leading and trailing blanks off.
std::string trim(const std::string &text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The servers of a --servers file: one HOST[:PORT] a line; '#' starts a comment; blank lines are skipped.
bool read_servers_file(const std::string &path, std::vector<std::string> *names, std::string *error) {
  std::FILE *file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    *error = "--servers: cannot read '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::string line;
  int number = 0;
  bool ok = true;
  for (int c = std::fgetc(file);; c = std::fgetc(file)) {
    if (c != EOF && c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    ++number;
    const std::string text = trim(line.substr(0, line.find('#')));
    line.clear();
    if (!text.empty()) {
      if (text.find_first_of(" \t") != std::string::npos) {
        *error = "--servers: " + path + ":" + std::to_string(number) + ": one HOST[:PORT] a line, not '" +
                 text + "'";
        ok = false;
        break;
      }
      names->push_back(text);
    }
    if (c == EOF) break;
  }
  std::fclose(file);
  return ok;
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
  bool options_done = false;       // after "--" every argument is positional
  std::vector<std::string> names;  // HOST[:PORT] as given, then those of --servers
  std::string servers_file;

  auto usage = [error](std::string message) {
    *error = std::move(message);
    return ParseOutcome::usage_error;
  };

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg.empty() || arg[0] != '-') {
      if (arg.empty()) return usage("HOST must not be empty");
      names.push_back(arg);
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
    if (arg.compare(0, 2, "--") != 0) return usage("unknown option '" + arg + "'");

    // --name, --name=value or --name value
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    const bool inline_value = eq != std::string::npos;
    std::string value = inline_value ? arg.substr(eq + 1) : std::string();

    if (name == "ipv4" || name == "ipv6") {
      if (inline_value) return usage("--" + name + " takes no value");
      const Family family = name == "ipv4" ? Family::ipv4 : Family::ipv6;
      if (o.family != Family::any && o.family != family) return usage("-4 and -6 exclude each other");
      o.family = family;
      continue;
    }
    if (name == "help" || name == "version" || name == "json" || name == "json-stream" || name == "each") {
      if (inline_value) return usage("--" + name + " takes no value");
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
    if (name != "port" && name != "duration" && name != "count" && name != "only" && name != "repeat" &&
        name != "interval" && name != "servers" && name != "metrics-file" && name != "state-file") {
      return usage("unknown option '--" + name + "'");
    }
    if (!inline_value) {
      if (i + 1 >= argc) return usage("--" + name + " needs a value");
      value = argv[++i];
    }

    long long n = 0;
    if (name == "metrics-file") {
      if (value.empty()) return usage("--metrics-file needs a file name");
      o.metrics_file = value;
    } else if (name == "state-file") {
      if (value.empty()) return usage("--state-file needs a file name");
      o.state_file = value;
    } else if (name == "servers") {
      if (value.empty()) return usage("--servers needs a file name");
      if (!servers_file.empty()) return usage("--servers may be given once");
      servers_file = value;
    } else if (name == "port") {
      if (!whole_option(name, value, 1, kMaxPort, &n, error)) return ParseOutcome::usage_error;
      o.port = static_cast<int>(n);
      port_given = true;
    } else if (name == "duration") {
      if (!whole_option(name, value, 1, kMaxDurationMs, &n, error)) return ParseOutcome::usage_error;
      o.duration_ms = static_cast<int>(n);
      duration_given = true;
    } else if (name == "count") {
      if (!whole_option(name, value, 1, kMaxCount, &n, error)) return ParseOutcome::usage_error;
      o.count = static_cast<int>(n);
      count_given = true;
    } else if (name == "repeat") {
      if (!whole_option(name, value, 0, kMaxRepeat, &n, error)) return ParseOutcome::usage_error;
      o.repeat = n;
      repeat_given = true;
    } else if (name == "interval") {
      if (!parse_decimal_seconds(value, kMaxIntervalS, &o.interval_s)) {
        return usage("--interval: '" + value + "' is not a number of seconds from 0 to 86400");
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
        return usage("--only: '" + value + "' is not one of ping, download, upload");
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
    return usage("--duration applies to the transfers, not to --only ping");
  }
  if (interval_given && !repeat_given) return usage("--interval applies to --repeat");
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
    if (names.size() == given) return usage("--servers: '" + servers_file + "' names no server");
  }
  for (const auto &entry : names) {
    ServerName server;
    if (!parse_server_name(entry, o.port, &server)) {
      return usage("'" + entry + "' is not HOST, HOST:PORT or [IPV6]:PORT with a port from 1 to 65535");
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
                "  --port N        the server's TCP port, 1 to 65535 (default %d; needs HOST), for\n"
                "                  servers given without one\n"
                "  --servers FILE  servers to choose from, one HOST[:PORT] a line ([IPV6]:PORT), '#'\n"
                "                  comments; added to any HOST on the command line\n"
                "  --each          measure every server in turn, not only the nearest: one summary or\n"
                "                  JSON line, and one set of metrics, per server\n"
                "  -4, --ipv4      resolve HOST to IPv4 addresses only\n"
                "  -6, --ipv6      resolve HOST to IPv6 addresses only\n"
                "  --duration MS   length of each transfer in milliseconds, at least 1 (default %d)\n"
                "  --count N       latency samples for --only ping, 1 to %d (default %d; a full run\n"
                "                  always takes 10)\n"
                "  --only TEST     run one test: ping, download or upload (default: all three)\n"
                "  --json          print the result as one line of JSON per run, without progress: the\n"
                "                  library's members, then loaded_latency and candidates (see README)\n"
                "  --json-stream   print the run as it goes, one JSON object per line: start, progress,\n"
                "                  latency, result, error (see README); nothing else on stdout\n"
                "  --repeat N      measure N times, 0 for until interrupted (default %lld)\n"
                "  --interval S    seconds between repeated runs, 0 to 86400 (default %g)\n"
                "  --metrics-file PATH\n"
                "                  after every run, write the figures in Prometheus' text format to PATH\n"
                "                  (for node_exporter's textfile collector: a name ending in .prom), by\n"
                "                  way of a temporary file in the same folder, so no reader sees half of it\n"
                "  --state-file PATH\n"
                "                  keep the metrics' run counts and last good figures in PATH between\n"
                "                  runs, so that separate runs (a timer's) count as one long process does;\n"
                "                  read and written under a lock, a damaged one set aside as PATH.corrupt\n"
                "  -h, --help      show this help and exit\n"
                "  --version       show the version and exit\n"
                "\n"
                "Latency under load: during the download and the upload, a ping probe every 100 ms (at\n"
                "most 10 a second, one at a time) on a connection of its own; one without an answer in\n"
                "2 s counts as lost. Median, 90th percentile, jitter, samples and lost are reported.\n"
                "\n"
                "On a terminal, each test shows its progress, then a summary follows; with --repeat, one\n"
                "line per run. A run that fails is reported on stderr and the next one still starts.\n"
                "Ctrl-C cancels the measurement; a second Ctrl-C ends the program at once.\n"
                "Colour is off when NO_COLOR is set (and not empty) or the output is not a terminal.\n"
                "\n"
                "Exit status: 0 success, 1 a measurement failed, 2 usage error, 130 cancelled.\n",
                kDefaultServerPort, d.duration_ms, kMaxCount, d.count, d.repeat, d.interval_s);
  return text;
}
