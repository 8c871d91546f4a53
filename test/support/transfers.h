// The two transfers as one table, for the tests that run a behaviour over both.
#pragma once

#include <ostream>

#include "kestrum.h"

struct Transfer {
  const char *label;  // the measurement's name, and the label of its progress reports
  double (*run)(const char *host, int port, int duration_ms);
};
inline const Transfer kDownload{"download", kestrum_download};
inline const Transfer kUpload{"upload", kestrum_upload};

inline void PrintTo(const Transfer &t, std::ostream *os) { *os << t.label; }
