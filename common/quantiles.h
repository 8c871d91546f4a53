// The median and percentiles of a series of figures, one definition for every program, test and benchmark
// that summarises latency samples or repeated rates.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

// The middle figure, or the mean of the two in the middle of an even count; 0 for none.
inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The nearest-rank percentile for q in (0, 1]: the smallest figure that at least q of the figures do not
// exceed; 0 for none.
inline double nearest_rank(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
  rank = std::min(std::max<size_t>(rank, 1), v.size());
  return v[rank - 1];
}
