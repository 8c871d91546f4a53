// kestrum-server: the command-line front end of the reference speed-test server. It reads the options,
// runs the server until SIGINT or SIGTERM, and stops it cleanly.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#include "decimal.h"
#include "platform.h"
#include "server.h"
#include "server_platform.h"

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
    "Limits. A source is a client's IP address. A pending connection is one whose command is not\n"
    "complete yet, or a ping connection whose answer was sent and whose close is awaited; pending\n"
    "connections cost no thread. Nobody is refused at the door: when a newcomer's source already holds\n"
    "its share, that source's oldest pending connection is closed; when all places are taken, the\n"
    "oldest pending connection of the source holding the most is closed.\n"
    "  --max-pending N         pending connections, all sources together (default: the open-files\n"
    "                          limit less 64 and --max-streams, at most 65536)\n"
    "  --max-pending-per-source N\n"
    "                          pending connections from one source (default: a quarter of\n"
    "                          --max-pending, at least 16)\n"
    "  --max-streams N         downloads and uploads at once, all sources, a thread each; past it a\n"
    "                          new stream is closed at once (default: 12)\n"
    "  --max-streams-per-source N\n"
    "                          downloads and uploads at once from one source (default: 4)\n"
    "  --command-timeout SEC   a pending connection is closed after this long (default: 5)\n"
    "  --max-stream SEC        a download or upload is ended after this many whole seconds\n"
    "                          (default: 300)\n"
    "  --min-rate N            bytes per second a download or upload must move, counted over each\n"
    "                          --rate-window in turn; a stream below it is dropped (default: 8192)\n"
    "  --rate-window SEC       the window of --min-rate (default: 10)\n"
    "  --socket-buffer N       send buffer of downloads and receive buffer of uploads, in bytes\n"
    "                          (default: 0, the kernel sizes them to the path)\n"
    "  --congestion ALGO       TCP congestion control of every connection, e.g. cubic or bbr (Linux;\n"
    "                          see /proc/sys/net/ipv4/tcp_available_congestion_control); the server\n"
    "                          does not start when ALGO is not available (default: the system's)\n"
    "\n"
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
    "Exit status: 0 after a stop by signal, 1 when it cannot listen, 2 for a usage error.\n";

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
    } else if (name == "--bind" || name == "--port" || name == "--max-pending" ||
               name == "--max-pending-per-source" || name == "--max-streams" ||
               name == "--max-streams-per-source" || name == "--command-timeout" || name == "--max-stream" ||
               name == "--min-rate" || name == "--rate-window" || name == "--socket-buffer" ||
               name == "--congestion") {
      std::string v;
      if (!take(&v)) return usage_error(name + " needs a value");
      bool ok = true;
      if (name == "--bind") {
        ok = !v.empty();
        config.bind = v;
      } else if (name == "--congestion") {
        ok = !v.empty();
        config.congestion = v;
      } else if (name == "--port") {
        ok = parse_int(v, 0, 65535, &config.port);
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

  // Each connection is a descriptor: the limits are sized from what the process may open.
  raise_open_files_limit();
  std::string error;
  Server *server = server_start(config, &error);
  if (server == nullptr) {
    std::fprintf(stderr, "kestrum-server: %s\n", error.c_str());
    return 1;
  }
  // The handler only raises a flag; the stop itself runs here, where it may take locks and join threads.
  while (g_stop_signal.load(std::memory_order_relaxed) == 0) sleep_ms(100);
  server_stop(server);
  return 0;
}
