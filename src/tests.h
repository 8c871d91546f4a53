// The measurements: ping, download, upload and the full run. The exports have made their entry checks.
#pragma once

enum class Direction { download, upload };

// Latency and jitter over count (1..1000) fresh connections; the mean RTT in ms, or -1.0.
double ping_test(const char *host, int port, int count);

// One timed transfer of duration_ms in the given direction; the rate in Mbit/s, or -1.0.
double transfer_test(const char *host, int port, int duration_ms, Direction direction);

// Ping (kFullRunPingSamples samples, figures.h), download and upload against one server; 0 when all three
// succeed, else -1.
int full_run(const char *host, int port, int duration_ms);
