// kestrum-server: the command-line front end of the reference speed-test server. It reads the options,
// runs the server until SIGINT or SIGTERM, and stops it cleanly.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>

#include "command_line.h"
#include "file_replace.h"
#include "platform.h"
#include "server.h"
#include "server_platform.h"

// How often --metrics-file is rewritten.
constexpr int kMetricsPeriodMs = 5000;

#ifndef KESTRUM_VERSION
#define KESTRUM_VERSION "unknown"
#endif

namespace {

// Written by the signal handler, which may run on any of the server's threads, and read by the main
// loop: a lock-free atomic, so the write is both signal-safe and free of a data race.
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch lock-free atomics");

extern "C" void on_stop_signal(int sig) { g_stop_signal.store(sig, std::memory_order_relaxed); }

}  // namespace

int main(int argc, char **argv) {
  CommandLine command_line;
  std::string error;
  switch (read_command_line(argc, argv, &command_line, &error)) {
    case CommandLineOutcome::usage_error:
      std::fprintf(stderr, "kestrum-server: %s (see --help)\n", error.c_str());
      return 2;
    case CommandLineOutcome::help:
      std::fputs(server_usage_text().c_str(), stdout);
      return 0;
    case CommandLineOutcome::version:
      std::printf("kestrum-server %s\n", KESTRUM_VERSION);
      return 0;
    case CommandLineOutcome::run:
      break;
  }
  const ServerConfig &config = command_line.config;
  const std::string &metrics_file = command_line.metrics_file;

  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);

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
