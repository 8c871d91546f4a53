// kestrum-server: the command-line front end of the reference speed-test server. It reads the options,
// runs the server until SIGINT or SIGTERM, and stops it cleanly.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#include "decimal.h"
#include "file_replace.h"
#include "platform.h"
#include "policy.h"
#include "server.h"
#include "server_platform.h"

// How often --metrics-file is rewritten.
constexpr int kMetricsPeriodMs = 5000;

#ifndef KESTRUM_VERSION
#define KESTRUM_VERSION "unknown"
#endif

namespace {

const char kUsage[] =
    "Usage: kestrum-server [options]\n"
    "\n"
    "The reference speed-test server for kestrum: answers ping probes and serves download and upload\n"
    "streams over TCP, IPv4 and IPv6, until SIGINT or SIGTERM.\n"
    "\n"
    "Options (a value may also be given as --option=VALUE; numbers are plain decimal):\n"
    "  --bind ADDR             IPv4 or IPv6 address to listen on (default: all IPv6 and IPv4\n"
    "                          addresses)\n"
    "  --port N                TCP port, 0 for any free one (default: 9301)\n"
    "\n"
    "Limits. A source is the network a client speaks from: an IPv4 address, or an IPv6 address's\n"
    "first --ipv6-prefix bits (a /64: a host can pick any address of its /64). A pending connection\n"
    "is one whose command is not complete yet, or a ping connection whose answer was sent and whose\n"
    "close is awaited; pending connections cost no thread. Nobody is refused at the door: when a\n"
    "newcomer's source already holds its share, that source's oldest pending connection is closed;\n"
    "when all places are taken, the oldest pending connection of the source holding the most is\n"
    "closed (of sources holding equally many, the one whose oldest has waited longest).\n"
    "  --ipv6-prefix N         bits of an IPv6 address that make its source, 48 to 128 (default: 64)\n"
    "  --max-pending N         pending connections, all sources together (default: the open-files\n"
    "                          limit less 64 and --max-streams, at most 65536)\n"
    "  --max-pending-per-source N\n"
    "                          pending connections from one source (default: a quarter of\n"
    "                          --max-pending, at least 16)\n"
    "  --max-streams N         downloads and uploads at once, all sources, a thread each (default: 12)\n"
    "  --max-streams-per-source N\n"
    "                          downloads and uploads at once from one source (default: 4)\n"
    "  --command-timeout SEC   a pending connection is closed after this long (default: 5)\n"
    "  --max-stream SEC        a download or upload is ended after this many whole seconds\n"
    "                          (default: 300)\n"
    "  --min-rate N            bytes per second a download or upload must move, judged window by\n"
    "                          window; a stream below it is dropped at its window's end, one that\n"
    "                          moves nothing at the end of its first; 0: no minimum (default: 8192)\n"
    "  --rate-window SEC       the window of --min-rate (default: 10)\n"
    "  --slow-penalty SEC      after a stream is dropped below --min-rate, new streams from its\n"
    "                          source are refused for this many whole seconds; 0: none (default: 30)\n"
    "  --socket-buffer N       send buffer of downloads and receive buffer of uploads, in bytes\n"
    "                          (default: 0, the kernel sizes them to the path)\n"
    "  --congestion ALGO       TCP congestion control of every connection, e.g. cubic or bbr (Linux;\n"
    "                          see /proc/sys/net/ipv4/tcp_available_congestion_control); the server\n"
    "                          does not start when ALGO is not available (default: the system's)\n"
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
    "\n"
    "  --metrics-file PATH     rewrite PATH every 5 s with the server's figures for Prometheus\n"
    "                          (node_exporter's textfile collector): streams and pending now,\n"
    "                          refusals, reclaims, drops and evictions by reason, bytes by direction;\n"
    "                          replaced whole, so a reader never sees part of it\n"
    "  --stats                 log bytes, duration and rate of every finished download and upload\n"
    "  --quiet                 log nothing\n"
    "  --version               print the version and exit\n"
    "  --help                  print this help and exit\n"
    "\n"
    "At start the server raises its open-files limit to the hard limit. Log lines go to standard\n"
    "error, each with a timestamp; the first one shows the limits in force. SEC may have a fraction\n"
    "(0.5).\n"
    "\n"
    "Protocol: the client speaks first; the first byte of every connection is a command.\n"
    "  'P' + 8 bytes   the server sends the same 8 bytes back (one ping sample per connection)\n"
    "  'D'             the server sends data until the client closes\n"
    "  'U'             the client sends data; the server reads and discards it until the client closes\n"
    "Any other first byte closes the connection.\n"
    "\n"
    "Exit status: 0 after a stop by signal, 1 when it cannot listen or cannot write the metrics\n"
    "file's folder, 2 for a usage error.\n";

// Written by the signal handler, which may run on any of the server's threads, and read by the main
// loop: a lock-free atomic, so the write is both signal-safe and free of a data race.
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

extern "C" void on_stop_signal(int sig) { g_stop_signal.store(sig, std::memory_order_relaxed); }

int usage_error(const std::string &message) {
  std::fprintf(stderr, "kestrum-server: %s (see --help)\n", message.c_str());
  return 2;
}

bool parse_int(const std::string &text, long long min, long long max, int *out) {
  long long v = 0;
  if (!parse_decimal_whole(text, min, max, &v)) return false;
  *out = static_cast<int>(v);
  return true;
}

// Seconds, possibly with a fraction, into whole milliseconds (at least 1).
bool parse_seconds_ms(const std::string &text, double max_seconds, int *out_ms) {
  double v = 0;
  if (!parse_decimal_seconds(text, max_seconds, &v) || !(v > 0)) return false;
  const double ms = v * 1000;
  *out_ms = ms < 1 ? 1 : static_cast<int>(ms + 0.5);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  ServerConfig config;
  std::string metrics_file;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    bool has_value = false;
    const size_t eq = name.find('=');
    if (name.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      has_value = true;
    }
    auto flag = [&]() { return !has_value; };
    // The option's value: after '=' or the next argument.
    auto take = [&](std::string *out) {
      if (has_value) {
        *out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };

    if (name == "--help" && flag()) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (name == "--version" && flag()) {
      std::printf("kestrum-server %s\n", KESTRUM_VERSION);
      return 0;
    } else if (name == "--stats" && flag()) {
      config.stats = true;
    } else if (name == "--quiet" && flag()) {
      config.quiet = true;
    } else if (name == "--bind" || name == "--port" || name == "--ipv6-prefix" || name == "--max-pending" ||
               name == "--max-pending-per-source" || name == "--max-streams" ||
               name == "--max-streams-per-source" || name == "--command-timeout" || name == "--max-stream" ||
               name == "--min-rate" || name == "--rate-window" || name == "--slow-penalty" ||
               name == "--socket-buffer" || name == "--congestion" || name == "--metrics-file") {
      std::string v;
      if (!take(&v)) return usage_error(name + " needs a value");
      bool ok = true;
      if (name == "--bind") {
        ok = !v.empty();
        config.bind = v;
      } else if (name == "--congestion") {
        ok = !v.empty();
        config.congestion = v;
      } else if (name == "--metrics-file") {
        ok = !v.empty();
        metrics_file = v;
      } else if (name == "--port") {
        ok = parse_int(v, 0, 65535, &config.port);
      } else if (name == "--ipv6-prefix") {
        ok = parse_int(v, kMinIpv6Prefix, kMaxIpv6Prefix, &config.ipv6_prefix);
      } else if (name == "--max-pending") {
        ok = parse_int(v, 1, 1000000, &config.max_pending);
      } else if (name == "--max-pending-per-source") {
        ok = parse_int(v, 1, 1000000, &config.max_pending_per_source);
      } else if (name == "--max-streams") {
        ok = parse_int(v, 1, 100000, &config.max_streams);
      } else if (name == "--max-streams-per-source") {
        ok = parse_int(v, 1, 100000, &config.max_streams_per_source);
      } else if (name == "--command-timeout") {
        ok = parse_seconds_ms(v, 3600, &config.command_timeout_ms);
      } else if (name == "--max-stream") {
        ok = parse_int(v, 1, 86400, &config.max_stream_seconds);
      } else if (name == "--min-rate") {
        ok = parse_int(v, 0, 1000000000, &config.min_rate_bytes);
      } else if (name == "--slow-penalty") {
        int seconds = 0;
        ok = parse_int(v, 0, 3600, &seconds);
        config.slow_penalty_ms = seconds * 1000;
      } else if (name == "--rate-window") {
        ok = parse_seconds_ms(v, 3600, &config.rate_window_ms);
      } else {
        ok = parse_int(v, 0, 1 << 30, &config.socket_buffer_bytes);
      }
      if (!ok) return usage_error("bad value '" + v + "' for " + name);
    } else {
      return usage_error("unknown option '" + std::string(argv[i]) + "'");
    }
  }

  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);

  std::string error;
  // A path the server could never write stops it before it listens, not five seconds later.
  if (!metrics_file.empty() && !file_replace_check(metrics_file, &error)) {
    std::fprintf(stderr, "kestrum-server: %s\n", error.c_str());
    return 1;
  }
  // Each connection is a descriptor: the limits are sized from what the process may open.
  raise_open_files_limit();
  Server *server = server_start(config, &error);
  if (server == nullptr) {
    std::fprintf(stderr, "kestrum-server: %s\n", error.c_str());
    return 1;
  }
  // The handler only raises a flag; the stop itself runs here, where it may take locks and join threads.
  // The metrics file is written at once, every period, and once more with the last figures before the
  // stop; a failed write is said once until a write succeeds again, and the server goes on.
  bool metrics_failing = false;
  auto write_metrics = [&] {
    if (metrics_file.empty()) return;
    std::string why;
    const bool ok = file_replace(metrics_file, server_metrics_text(server_stats(server)),
                                 FileAccess::world_readable, &why);
    if (!ok && !metrics_failing) std::fprintf(stderr, "kestrum-server: %s\n", why.c_str());
    metrics_failing = !ok;
  };
  write_metrics();
  for (int waited_ms = 0; g_stop_signal.load(std::memory_order_relaxed) == 0; waited_ms += 100) {
    sleep_ms(100);
    if (waited_ms > 0 && waited_ms % kMetricsPeriodMs == 0) write_metrics();
  }
  write_metrics();
  server_stop(server);
  return 0;
}
