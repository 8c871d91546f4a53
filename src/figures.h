// How counts become figures, written once for the library and the programs around it, so that a rate or a
// plan reads the same wherever it is computed. Constants and arithmetic only.
#pragma once

#include <cstdint>

// 1 Mbit = 1,000,000 bits: one Mbit/s is 125,000 bytes a second.
constexpr double kBytesPerSecondPerMbps = 1000000.0 / 8;

// The rate in Mbit/s of `bytes` moved in `seconds`: bytes x 8 / 1,000,000 / seconds, in that order of
// operations; 0.0 when seconds is not above 0.
inline double rate_mbps(uint64_t bytes, double seconds) {
  if (seconds <= 0) return 0.0;
  return static_cast<double>(bytes) * 8 / 1000000 / seconds;
}

inline double bytes_per_second(double mbps) { return mbps * kBytesPerSecondPerMbps; }

// The ping samples that kestrum_run_all takes before its transfers.
constexpr int kFullRunPingSamples = 10;
