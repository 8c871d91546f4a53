#include "command_line.h"

#include <vector>

#include "option_table.h"
#include "policy.h"

namespace {

// Every option of kestrum-server, in the order --help shows them, with the paragraphs between.
std::vector<OptionRow> server_options(CommandLine *c) {
  ServerConfig &s = c->config;
  return {
      help_paragraph(
          "Usage: kestrum-server [options]\n"
          "\n"
          "The reference speed-test server for kestrum: answers ping probes and serves download and upload\n"
          "streams over TCP, IPv4 and IPv6, until SIGINT or SIGTERM.\n"
          "\n"
          "Options (a value may also be given as --option=VALUE; numbers are plain decimal):\n"),
      option("bind", 0, "ADDR")
          .text(&s.bind)
          .says("IPv4 or IPv6 address to listen on (default: all IPv6 and IPv4\naddresses)"),
      option("port", 0, "N").whole(0, 65535, &s.port).says("TCP port, 0 for any free one (default: 9301)"),
      help_paragraph(
          "\n"
          "Limits. A source is the network a client speaks from: an IPv4 address, or an IPv6 address's\n"
          "first --ipv6-prefix bits (a /64: a host can pick any address of its /64). A pending connection\n"
          "is one whose command is not complete yet, or a ping connection whose answer was sent and whose\n"
          "close is awaited; pending connections cost no thread. Nobody is refused at the door: when a\n"
          "newcomer's source already holds its share, that source's oldest pending connection is closed;\n"
          "when all places are taken, the oldest pending connection of the source holding the most is\n"
          "closed (of sources holding equally many, the one whose oldest has waited longest).\n"),
      option("ipv6-prefix", 0, "N")
          .whole(kMinIpv6Prefix, kMaxIpv6Prefix, &s.ipv6_prefix)
          .says("bits of an IPv6 address that make its source, 48 to 128 (default: 64)"),
      option("max-pending", 0, "N")
          .whole(1, 1000000, &s.max_pending)
          .says("pending connections, all sources together (default: the open-files\n"
                "limit less 64 and --max-streams, at most 65536)"),
      option("max-pending-per-source", 0, "N")
          .whole(1, 1000000, &s.max_pending_per_source)
          .says("pending connections from one source (default: a quarter of\n--max-pending, at least 16)"),
      option("max-streams", 0, "N")
          .whole(1, 100000, &s.max_streams)
          .says("downloads and uploads at once, all sources, a thread each (default: 12)"),
      option("max-streams-per-source", 0, "N")
          .whole(1, 100000, &s.max_streams_per_source)
          .says("downloads and uploads at once from one source (default: 4)"),
      option("command-timeout", 0, "SEC")
          .rounded_seconds(1, 3600 * 1000, &s.command_timeout_ms)
          .says("a pending connection is closed after this long (default: 5)"),
      option("max-stream", 0, "SEC")
          .whole(1, 86400, &s.max_stream_seconds)
          .says("a download or upload is ended after this many whole seconds\n(default: 300)"),
      option("min-rate", 0, "N")
          .whole(0, 1000000000, &s.min_rate_bytes)
          .says("bytes per second a download or upload must move, judged window by\n"
                "window; a stream below it is dropped at its window's end, one that\n"
                "moves nothing at the end of its first; 0: no minimum (default: 8192)"),
      option("rate-window", 0, "SEC")
          .rounded_seconds(1, 3600 * 1000, &s.rate_window_ms)
          .says("the window of --min-rate (default: 10)"),
      option("slow-penalty", 0, "SEC")
          .whole(0, 3600,
                 [&s](const OptionValue &v, std::string *) {
                   s.slow_penalty_ms = static_cast<int>(v.whole) * 1000;
                   return true;
                 })
          .says("after a stream is dropped below --min-rate, new streams from its\n"
                "source are refused for this many whole seconds; 0: none (default: 30)"),
      option("socket-buffer", 0, "N")
          .whole(0, 1 << 30, &s.socket_buffer_bytes)
          .says("send buffer of downloads and receive buffer of uploads, in bytes\n"
                "(default: 0, the kernel sizes them to the path)"),
      option("congestion", 0, "ALGO")
          .text(&s.congestion)
          .says("TCP congestion control of every connection, e.g. cubic or bbr (Linux;\n"
                "see /proc/sys/net/ipv4/tcp_available_congestion_control); the server\n"
                "does not start when ALGO is not available (default: the system's)"),
      help_paragraph(
          "\n"
          "Stream slots. A new stream from a source that holds --max-streams-per-source, or within\n"
          "--slow-penalty of a stream of its source dropped too slow, is refused. When\n"
          "all --max-streams slots are taken, a newcomer whose source holds k streams takes the slot of\n"
          "the oldest stream of the source holding the most, h, if h > k + 1 (of sources holding h, the\n"
          "one whose oldest stream is oldest gives way); otherwise it is refused. A source measuring with\n"
          "one stream is never pushed out, and hosts that fill the table cannot keep a measurement out.\n"
          "A refused or reclaimed stream is reset: the client sees a failed transfer, not a result.\n"
          "What a stream moved: for a download what the client took from its receive buffer (what it\n"
          "acknowledged, less what its window shows still unread), for an upload what the server\n"
          "received. Each window is judged on the rate between the points where that count advanced,\n"
          "so a steady client is held to its true rate.\n"
          "\n"),
      option("metrics-file", 0, "PATH")
          .text(&c->metrics_file)
          .says("rewrite PATH every 5 s with the server's figures for Prometheus\n"
                "(node_exporter's textfile collector): streams and pending now,\n"
                "refusals, reclaims, drops and evictions by reason, bytes by direction;\n"
                "replaced whole, so a reader never sees part of it"),
      option("stats").flag(&s.stats).says(
          "log bytes, duration and rate of every finished download and upload"),
      option("quiet").flag(&s.quiet).says("log nothing"),
      option("version").ending().says("print the version and exit"),
      option("help").ending().says("print this help and exit"),
      help_paragraph(
          "\n"
          "At start the server raises its open-files limit to the hard limit. Log lines go to standard\n"
          "error, each with a timestamp; the first one shows the limits in force. SEC may have a fraction\n"
          "(0.5).\n"
          "\n"
          "Protocol: the client speaks first; the first byte of every connection is a command.\n"
          "  'P' + 8 bytes   the server sends the same 8 bytes back (one ping sample per connection)\n"
          "  'D'             the server sends data until the client closes\n"
          "  'U'             the client sends data; the server reads and discards it until the client "
          "closes\n"
          "Any other first byte closes the connection.\n"
          "\n"
          "Exit status: 0 after a stop by signal, 1 when it cannot listen or cannot write the metrics\n"
          "file's folder, 2 for a usage error.\n"),
  };
}

// The column where the options' help starts.
constexpr size_t kHelpColumn = 26;

// kestrum-server words its refusals as it always has, so that what scripts match stays put: the argument
// whole for an option it does not know (a flag given a value included), the value and the option's name
// for a bad value.
std::string server_error_text(const OptionError &e) {
  switch (e.what) {
    case OptionError::What::unknown:
    case OptionError::What::takes_no_value:
      return "unknown option '" + e.argument + "'";
    case OptionError::What::needs_value:
      return e.option + " needs a value";
    case OptionError::What::bad_value:
      return "bad value '" + e.value + "' for " + e.option;
    case OptionError::What::refused:
      break;
  }
  return e.message;
}

}  // namespace

CommandLineOutcome read_command_line(int argc, const char *const *argv, CommandLine *out,
                                     std::string *error) {
  CommandLine c;
  const std::vector<OptionRow> rows = server_options(&c);
  const OptionReading r =
      read_options(rows, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
  switch (r.outcome) {
    case OptionReading::Outcome::refused:
      *error = server_error_text(r.error);
      return CommandLineOutcome::usage_error;
    case OptionReading::Outcome::ended:
      return r.ended == "help" ? CommandLineOutcome::help : CommandLineOutcome::version;
    case OptionReading::Outcome::done:
      break;
  }
  *out = c;
  return CommandLineOutcome::run;
}

std::string server_usage_text() {
  CommandLine unused;
  return option_help(server_options(&unused), kHelpColumn);
}
