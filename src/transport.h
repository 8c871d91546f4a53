// Clock, timed connection, teardown and the wire protocol spoken with the speed-test server.
#pragma once

#include <cstdint>

#include "platform.h"
#include "wire.h"

constexpr int kConnectLimitMs = 3000;

// Microseconds since an arbitrary origin; only differences (and the ping probe) use it. Never fails.
double now_us();

// Resolves host and port, connects within limit_ms per address and returns a connected, blocking socket
// with TCP_NODELAY and 1 MiB buffers. On failure writes the reason into the last-error text and returns
// KS_INVALID_SOCKET. The caller ends the socket with close_fd.
sock_t connect_timeout(const char *host, int port, int limit_ms);

// Shuts the connection down and releases the socket; once the user has cancelled, a hard close (reset).
void close_fd(sock_t s);

// The 9-byte ping probe: 'P' and the clock reading in whole microseconds, little-endian.
void build_ping_probe(unsigned char out[kPingProbeSize], double clock_us);
