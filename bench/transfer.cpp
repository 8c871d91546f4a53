/*
 * bench-transfer: the smallest host of the library that the benchmarks can drive, for a tree whose kestrum
 * command is not built. It takes the subset of the command's arguments that the benchmarks use,
 *
 *     bench-transfer HOST --port N --only download|upload --duration MS --json [--progress]
 *
 * runs the one transfer and prints the library's JSON line, so that the scripts read both the same way.
 * --progress also writes every progress report to stderr as "progress LABEL PERCENT MBPS", the periodic
 * ones included, so that a benchmark can hold each report against what really arrived.
 * bench/common.sh compiles it with cc against include/ and the built shared library.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kestrum.h"

static void print_report(const char *label, double mbps, int percent) {
  fprintf(stderr, "progress %s %d %.6f\n", label, percent, mbps);
}

int main(int argc, char **argv) {
  const char *host = NULL;
  const char *only = NULL;
  int port = 0;
  int duration_ms = 0;
  int progress = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--json") == 0) continue;
    if (strcmp(argv[i], "--progress") == 0) {
      progress = 1;
      continue;
    }
    if (i + 1 < argc && strcmp(argv[i], "--port") == 0) {
      port = atoi(argv[++i]);
    } else if (i + 1 < argc && strcmp(argv[i], "--only") == 0) {
      only = argv[++i];
    } else if (i + 1 < argc && strcmp(argv[i], "--duration") == 0) {
      duration_ms = atoi(argv[++i]);
    } else if (argv[i][0] != '-' && host == NULL) {
      host = argv[i];
    } else {
      fprintf(stderr, "bench-transfer: unexpected argument '%s'\n", argv[i]);
      return 2;
    }
  }
  if (host == NULL || port <= 0 || duration_ms <= 0 || only == NULL ||
      (strcmp(only, "download") != 0 && strcmp(only, "upload") != 0)) {
    fprintf(stderr,
            "usage: bench-transfer HOST --port N --only download|upload --duration MS --json [--progress]\n");
    return 2;
  }
  if (kestrum_init() != 0) {
    fprintf(stderr, "bench-transfer: %s\n", kestrum_last_error());
    return 1;
  }
  if (progress) kestrum_set_tick(print_report);
  const double rate = strcmp(only, "download") == 0 ? kestrum_download(host, port, duration_ms)
                                                    : kestrum_upload(host, port, duration_ms);
  if (rate < 0) fprintf(stderr, "bench-transfer: %s\n", kestrum_last_error());
  puts(kestrum_result_json());
  kestrum_cleanup();
  return rate < 0 ? 1 : 0;
}
