// The two transfers as one table, for the tests that run a behaviour over both, and how long a transfer
// may take to return.
#pragma once

#include <chrono>
#include <ostream>

#include "kestrum.h"

struct Transfer {
  const char *label;  // the measurement's name, and the label of its progress reports
  double (*run)(const char *host, int port, int duration_ms);
};
inline const Transfer kDownload{"download", kestrum_download};
inline const Transfer kUpload{"upload", kestrum_upload};

inline void PrintTo(const Transfer &t, std::ostream *os) { *os << t.label; }

// How much longer than its planned duration a transfer may take to return: one 20 ms transfer call and
// the monitor's 500 ms stop wait, with room to spare.
constexpr int kTransferSlackMs = 600;

// Milliseconds since t on the steady clock, for checking how long a call took.
inline double ms_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}
