// kestrum-server: the command-line front end of the reference speed-test server. It reads the options,
// runs the server until SIGINT or SIGTERM, and stops it cleanly.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"
#include "server.h"

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
    "Options (a value may also be given as --option=VALUE):\n"
    "  --bind ADDR             IPv4 or IPv6 address to listen on (default: all IPv6 and IPv4\n"
    "                          addresses)\n"
    "  --port N                TCP port, 0 for any free one (default: 9301)\n"
    "  --max-connections N     connections served at once; past that, new ones are closed at once\n"
    "                          (default: 512)\n"
    "  --command-timeout SEC   a client that sends no complete command in time is dropped (default: 5)\n"
    "  --max-stream N          a download or upload is ended after N seconds (default: 300)\n"
    "  --stall-timeout SEC     a download the client stops reading, or an upload it stops sending,\n"
    "                          is dropped after this long without progress (default: 30)\n"
    "  --congestion ALGO       TCP congestion control for every connection, e.g. cubic or bbr (Linux;\n"
    "                          see /proc/sys/net/ipv4/tcp_available_congestion_control); the server\n"
    "                          does not start when ALGO is not available (default: the system's)\n"
    "  --stats                 log bytes, duration and rate of every finished download and upload\n"
    "  --quiet                 log nothing\n"
    "  --version               print the version and exit\n"
    "  --help                  print this help and exit\n"
    "\n"
    "Log lines go to standard error, each with a timestamp. SEC may have a fraction (0.5).\n"
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

bool parse_int(const char *text, long min, long max, int *out) {
  char *end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < min || v > max) return false;
  *out = static_cast<int>(v);
  return true;
}

// Seconds, possibly with a fraction, into whole milliseconds (at least 1).
bool parse_seconds_ms(const char *text, double max_seconds, int *out_ms) {
  char *end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(v > 0) || v > max_seconds) return false;
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
    } else if (name == "--bind" || name == "--congestion" || name == "--port" ||
               name == "--max-connections" || name == "--command-timeout" || name == "--max-stream" ||
               name == "--stall-timeout") {
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
        ok = parse_int(v.c_str(), 0, 65535, &config.port);
      } else if (name == "--max-connections") {
        ok = parse_int(v.c_str(), 1, 1000000, &config.max_connections);
      } else if (name == "--command-timeout") {
        ok = parse_seconds_ms(v.c_str(), 3600, &config.command_timeout_ms);
      } else if (name == "--max-stream") {
        ok = parse_int(v.c_str(), 1, 86400, &config.max_stream_seconds);
      } else {
        ok = parse_seconds_ms(v.c_str(), 3600, &config.stall_timeout_ms);
      }
      if (!ok) return usage_error("bad value '" + v + "' for " + name);
    } else {
      return usage_error("unknown option '" + std::string(argv[i]) + "'");
    }
  }

  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);

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
