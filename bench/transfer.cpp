/*
 * bench-transfer: the smallest host of the library that the benchmarks can drive, for a tree whose kestrum
 * command is not built. It takes the subset of the command's arguments that the benchmarks use,
 *
 *     bench-transfer HOST --port N --only download|upload -t SECONDS --json [--progress]
 *
 * runs the one transfer and prints the library's JSON line, so that the scripts read both the same way.
 * SECONDS is whole or has at most three decimals, as the command takes it.
 * --progress also writes every progress report to stderr as "progress LABEL PERCENT MBPS", the periodic
 * ones included, so that a benchmark can hold each report against what really arrived.
 * Built with the project (bench/CMakeLists.txt).
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kestrum.h"

namespace {
void print_report(const char *label, double mbps, int percent) {
  std::fprintf(stderr, "progress %s %d %.6f\n", label, percent, mbps);
}

// Seconds ("10", "2.5") in whole milliseconds, or 0 when the text is not such a number.
int seconds_to_ms(const char *text) {
  long ms = 0;
  int decimals = -1;
  for (const char *c = text; *c != '\0'; ++c) {
    if (*c == '.' && decimals < 0 && c != text && c[1] != '\0') {
      decimals = 0;
    } else if (*c >= '0' && *c <= '9' && decimals < 3 && ms < 100000000) {
      ms = ms * 10 + (*c - '0');
      if (decimals >= 0) ++decimals;
    } else {
      return 0;
    }
  }
  for (int d = decimals < 0 ? 0 : decimals; d < 3; ++d) ms *= 10;
  return static_cast<int>(ms);
}
}  // namespace

int main(int argc, char **argv) {
  const char *host = nullptr;
  const char *only = nullptr;
  int port = 0;
  int duration_ms = 0;
  int progress = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0) continue;
    if (std::strcmp(argv[i], "--progress") == 0) {
      progress = 1;
      continue;
    }
    if (i + 1 < argc && std::strcmp(argv[i], "--port") == 0) {
      port = std::atoi(argv[++i]);
    } else if (i + 1 < argc && std::strcmp(argv[i], "--only") == 0) {
      only = argv[++i];
    } else if (i + 1 < argc && std::strcmp(argv[i], "-t") == 0) {
      duration_ms = seconds_to_ms(argv[++i]);
    } else if (argv[i][0] != '-' && host == nullptr) {
      host = argv[i];
    } else {
      std::fprintf(stderr, "bench-transfer: unexpected argument '%s'\n", argv[i]);
      return 2;
    }
  }
  if (host == nullptr || port <= 0 || duration_ms <= 0 || only == nullptr ||
      (std::strcmp(only, "download") != 0 && std::strcmp(only, "upload") != 0)) {
    std::fprintf(
        stderr,
        "usage: bench-transfer HOST --port N --only download|upload -t SECONDS --json [--progress]\n");
    return 2;
  }
  if (kestrum_init() != 0) {
    std::fprintf(stderr, "bench-transfer: %s\n", kestrum_last_error());
    return 1;
  }
  if (progress) kestrum_set_tick(print_report);
  const double rate = std::strcmp(only, "download") == 0 ? kestrum_download(host, port, duration_ms)
                                                         : kestrum_upload(host, port, duration_ms);
  if (rate < 0) std::fprintf(stderr, "bench-transfer: %s\n", kestrum_last_error());
  std::puts(kestrum_result_json());
  kestrum_cleanup();
  return rate < 0 ? 1 : 0;
}
