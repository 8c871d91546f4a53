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
 * and exits 0, or 1 with the library's message when a ping fails. The median and the percentiles are
 * common/quantiles.h's (the percentiles by nearest rank). Built with the project (bench/CMakeLists.txt).
 */
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "kestrum.h"
#include "quantiles.h"

namespace {
constexpr int kMaxPorts = 8;
}

int main(int argc, char **argv) {
  if (argc < 4 || argc - 3 > kMaxPorts) {
    std::fprintf(stderr, "usage: bench-pingpair HOST SAMPLES PORT... (1 to %d ports)\n", kMaxPorts);
    return 2;
  }
  const char *host = argv[1];
  const int samples = std::atoi(argv[2]);
  const int ports = argc - 3;
  std::vector<int> port(static_cast<size_t>(ports));
  for (int k = 0; k < ports; ++k) port[static_cast<size_t>(k)] = std::atoi(argv[3 + k]);
  if (samples < 1 || samples > 100000) {
    std::fprintf(stderr, "bench-pingpair: SAMPLES takes 1 to 100000\n");
    return 2;
  }
  std::vector<std::vector<double>> rtt(static_cast<size_t>(ports));
  if (kestrum_init() != 0) {
    std::fprintf(stderr, "bench-pingpair: %s\n", kestrum_last_error());
    return 1;
  }
  int status = 0;
  for (int i = 0; i < samples && status == 0; ++i) {
    for (int j = 0; j < ports; ++j) {
      const size_t k = static_cast<size_t>((i + j) % ports);
      const double ms = kestrum_ping(host, port[k], 1);
      if (ms < 0) {
        std::fprintf(stderr, "bench-pingpair: port %d: %s\n", port[k], kestrum_last_error());
        status = 1;
        break;
      }
      rtt[k].push_back(ms);
    }
  }
  for (size_t k = 0; k < rtt.size() && status == 0; ++k) {
    const std::vector<double> &v = rtt[k];
    const double mean = std::accumulate(v.begin(), v.end(), 0.0) / static_cast<double>(v.size());
    std::printf("port %d samples %d mean_ms %.6f median_ms %.6f p10_ms %.6f p90_ms %.6f\n", port[k], samples,
                mean, median(v), nearest_rank(v, 0.1), nearest_rank(v, 0.9));
  }
  kestrum_cleanup();
  return status;
}
