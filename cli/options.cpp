#include "options.h"

#include <cstdio>

#include "decimal.h"
#include "file_replace.h"
#include "infile.h"
#include "option_table.h"
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

namespace {

// What the reading gathers on its way to Options: the servers as given, and the --servers file to read.
struct Reading {
  Options o;
  std::vector<GivenName> names;  // HOST[:PORT] as given, then those of --servers
  std::string servers_file;
};

// A default as --help states it: 5, 60, 0.5.
std::string figure(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

// -4 and --ipv4, -6 and --ipv6: one family, asked for as often as one likes.
OptionSetter family(Reading *r, Family f) {
  return [r, f](const OptionValue &, std::string *error) {
    if (r->o.family != Family::any && r->o.family != f) {
      *error = "-4 and -6 exclude each other";
      return false;
    }
    r->o.family = f;
    return true;
  };
}

// Every option of kestrum, in the order --help shows them, with the paragraphs around them.
std::vector<OptionRow> command_options(Reading *r) {
  const Options d;
  Options &o = r->o;
  return {
      help_paragraph(
          "Usage: kestrum [HOST[:PORT]...] [options]\n"
          "\n"
          "Measures latency, jitter, download and upload throughput to a kestrum speed-test server,\n"
          "and the latency while the download and the upload run. Without HOST, it starts the\n"
          "bundled server on 127.0.0.1 (::1 with -6) and measures against that. HOST is resolved\n"
          "once; the address it gives is what is measured. With several servers, each gets 3 pings\n"
          "and the one with the lowest median is measured; those that do not answer are skipped.\n"
          "With --each, every server is measured in turn instead.\n"
          "\n"
          "Options:\n"),
      option("port", 'p', "N")
          .whole(1, kMaxPort, &o.port)
          .says("the server's TCP port, 1 to 65535 (default " + std::to_string(kDefaultServerPort) +
                "; needs HOST), for\nservers given without one"),
      option("servers", 0, "FILE")
          .text(&r->servers_file)
          .expects("a file name")
          .then([r](const OptionValue &v, std::string *error) {
            if (!r->servers_file.empty()) {
              *error = "--servers may be given once";
              return false;
            }
            r->servers_file = v.text;
            return true;
          })
          .says("servers to choose from, one HOST[:PORT] a line ([IPV6]:PORT), '#'\n"
                "comments; added to any HOST on the command line. A regular file of\n"
                "UTF-8 text, at most 1 MiB, lines of at most 1024 bytes, 256 servers"),
      option("each").flag(&o.each).says("measure every server in turn, not only the nearest: one summary or\n"
                                        "JSON line, and one set of metrics, per server"),
      option("ipv4", '4').then(family(r, Family::ipv4)).says("resolve HOST to IPv4 addresses only"),
      option("ipv6", '6').then(family(r, Family::ipv6)).says("resolve HOST to IPv6 addresses only"),
      option("time", 't', "SECONDS")
          .seconds(1, kMaxDurationMs, &o.duration_ms)
          .expects(
              "a number of seconds from 0.001 to 2147483.647, in whole milliseconds (e.g. -t 10, -t 2.5)")
          .says("length of each transfer in seconds, decimals allowed (-t 2.5), from\n"
                "0.001 to 2147483.647 (default " +
                figure(d.duration_ms / 1000.0) + ")"),
      // A bare number is refused: it read as milliseconds once, and "--duration 10" was a 10 ms test.
      option("duration", 0, "LENGTH")
          .length(1, kMaxDurationMs, &o.duration_ms, "-t")
          .says("the same with its unit: 10s, 1.5s or 2500ms (a bare number is refused)"),
      option("count", 0, "N")
          .whole(1, kMaxCount, &o.count)
          .says("latency samples for --only ping, 1 to " + std::to_string(kMaxCount) + " (default " +
                std::to_string(d.count) + "; a full run\nalways takes 10)"),
      option("only", 0, "TEST")
          .choice<TestSelection>({{"ping", TestSelection::ping},
                                  {"download", TestSelection::download},
                                  {"upload", TestSelection::upload}},
                                 &o.only)
          .says("run one test: ping, download or upload (default: all three)"),
      option("json", 'J')
          .flag(&o.json)
          .says("print the result as one line of JSON per run, without progress: the\n"
                "library's members, then version, timestamp, idle_latency,\n"
                "loaded_latency, responsiveness, ended_early, candidates (see README)"),
      option("json-stream")
          .flag(&o.json_stream)
          .says("print the run as it goes, one JSON object per line: start, progress,\n"
                "latency, result, error (see README); nothing else on stdout"),
      option("repeat", 0, "N")
          .whole(0, kMaxRepeat, &o.repeat)
          .says("measure N times, 0 for until interrupted (default " + std::to_string(d.repeat) + ")"),
      option("interval", 0, "S")
          .decimal(0, kMaxIntervalS, &o.interval_s)
          .expects("a number of seconds from 0 to 86400")
          .says("seconds between repeated runs, 0 to 86400 (default " + figure(d.interval_s) + ")"),
      option("plot", 0, "FILE.svg")
          .text(&o.plot_file)
          .expects("a file name")
          .says("draw each good run into FILE: throughput over time, every latency probe,\n"
                "the idle median, lost probes (with --repeat, the last run)"),
      option("metrics-file", 0, "PATH")
          .text(&o.metrics_file)
          .expects("a file name")
          .says("after every run, write the figures in Prometheus' text format to PATH\n"
                "(for node_exporter's textfile collector: a name ending in .prom), by\n"
                "way of a temporary file in the same folder, so no reader sees half of it"),
      option("state-file", 0, "PATH")
          .text(&o.state_file)
          .expects("a file name")
          .says("keep the metrics' run counts and last good figures in PATH between\n"
                "runs, so that separate runs (a timer's) count as one long process does;\n"
                "read and written under a lock, a damaged one set aside as PATH.corrupt"),
      option("help", 'h').ending().says("show this help and exit"),
      option("version", 'V').ending().says("show the version and exit"),
      help_paragraph(
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
          "Exit status: 0 success, 1 a measurement failed, 2 usage error (bad input), 130 cancelled.\n"),
  };
}

// The column where the options' help starts.
constexpr size_t kHelpColumn = 18;

}  // namespace

ParseOutcome parse_options(int argc, const char *const *argv, Options *options, std::string *error) {
  Reading reading;
  const std::vector<OptionRow> rows = command_options(&reading);
  auto usage = [error](std::string message) {
    *error = std::move(message);
    return ParseOutcome::usage_error;
  };

  // Every argument that is not an option names a server.
  auto host = [&reading](const std::string &arg, std::string *why) {
    if (arg.empty()) {
      *why = "HOST must not be empty";
      return false;
    }
    if (!is_utf8(arg)) {
      *why = "HOST " + quoted(arg) + " is not UTF-8 text";
      return false;
    }
    reading.names.push_back({arg, ""});
    return true;
  };
  const OptionReading r =
      read_options(rows, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), host);
  switch (r.outcome) {
    case OptionReading::Outcome::refused:
      return usage(option_error_text(r.error, quoted));
    case OptionReading::Outcome::ended:
      return r.ended == "help" ? ParseOutcome::help : ParseOutcome::version;
    case OptionReading::Outcome::done:
      break;
  }

  Options &o = reading.o;
  const bool host_given = !reading.names.empty();
  const bool port_given = r.was_given("port");
  const std::string &servers_file = reading.servers_file;
  // Options that would silently do nothing are refused, so nobody believes they measured what they asked.
  if (port_given && !host_given && servers_file.empty()) {
    return usage("--port needs a HOST (without one, the bundled server listens on a free port)");
  }
  if (r.was_given("count") && o.only != TestSelection::ping) {
    return usage("--count applies to --only ping (a full run always takes 10 samples)");
  }
  if ((r.was_given("time") || r.was_given("duration")) && o.only == TestSelection::ping) {
    return usage("-t and --duration apply to the transfers, not to --only ping");
  }
  if (r.was_given("interval") && !r.was_given("repeat")) return usage("--interval applies to --repeat");
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
  std::vector<GivenName> &names = reading.names;
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
  Reading unused;
  return option_help(command_options(&unused), kHelpColumn);
}
