/*
 * bench-pingpair: the library's ping against several servers side by side, one sample at a time:
 *
 *     bench-pingpair HOST SAMPLES PORT...
 *
 * takes SAMPLES pings of one sample each (kestrum_ping(HOST, PORT, 1)) from every PORT, going round the
 * ports and starting each round one port further on, so that whatever else the machine does falls on all
 * of them alike. Prints one line per port,
 *
 *     port P samples N mean_ms M median_ms D p10_ms A p90_ms B
 *
 * and exits 0, or 1 with the library's message when a ping fails. bench/common.sh compiles it against
 * include/ and the built shared library.
 */
#include <stdio.h>
#include <stdlib.h>

#include "kestrum.h"

#define MAX_PORTS 8

static int by_value(const void *a, const void *b) {
  const double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
  if (argc < 4 || argc - 3 > MAX_PORTS) {
    fprintf(stderr, "usage: bench-pingpair HOST SAMPLES PORT... (1 to %d ports)\n", MAX_PORTS);
    return 2;
  }
  const char *host = argv[1];
  const int samples = atoi(argv[2]);
  const int ports = argc - 3;
  int port[MAX_PORTS];
  for (int k = 0; k < ports; ++k) port[k] = atoi(argv[3 + k]);
  if (samples < 1 || samples > 100000) {
    fprintf(stderr, "bench-pingpair: SAMPLES takes 1 to 100000\n");
    return 2;
  }
  double *rtt[MAX_PORTS] = {0};
  for (int k = 0; k < ports; ++k) {
    rtt[k] = malloc(sizeof(double) * (size_t)samples);
    if (rtt[k] == NULL) return 1;
  }
  if (kestrum_init() != 0) {
    fprintf(stderr, "bench-pingpair: %s\n", kestrum_last_error());
    return 1;
  }
  int status = 0;
  for (int i = 0; i < samples && status == 0; ++i) {
    for (int j = 0; j < ports; ++j) {
      const int k = (i + j) % ports;
      rtt[k][i] = kestrum_ping(host, port[k], 1);
      if (rtt[k][i] < 0) {
        fprintf(stderr, "bench-pingpair: port %d: %s\n", port[k], kestrum_last_error());
        status = 1;
        break;
      }
    }
  }
  for (int k = 0; k < ports && status == 0; ++k) {
    double sum = 0;
    for (int i = 0; i < samples; ++i) sum += rtt[k][i];
    qsort(rtt[k], (size_t)samples, sizeof(double), by_value);
    printf("port %d samples %d mean_ms %.6f median_ms %.6f p10_ms %.6f p90_ms %.6f\n", port[k], samples,
           sum / samples, rtt[k][samples / 2], rtt[k][samples / 10], rtt[k][samples * 9 / 10]);
  }
  kestrum_cleanup();
  for (int k = 0; k < ports; ++k) free(rtt[k]);
  return status;
}
