// kestrum-server's decisions, free of sockets, threads and clocks so that tests can hold them to exact
// figures: whose source a connection is, which running stream makes way for a newcomer, and whether a
// stream moved enough in its window. The loop and the stream threads do the I/O and ask these.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

// A source is the network a client speaks from: an IPv4 address (an IPv4-mapped IPv6 one too) as its 4
// bytes; an IPv6 address as its first ipv6_prefix bits (a /64 by default: one household or one host is
// usually given a whole /64, and can pick any address in it). Every per-source limit counts by it.
using SourceKey = std::string;

constexpr int kDefaultIpv6Prefix = 64;
constexpr int kMinIpv6Prefix = 48;
constexpr int kMaxIpv6Prefix = 128;

// The source of a peer address; empty for a family that is neither.
SourceKey source_key(const sockaddr *sa, int ipv6_prefix);

// --- reclaiming a stream slot -----------------------------------------------------------------------------
// When every stream slot is taken, a newcomer whose source holds k streams may take the slot of the
// oldest stream of the source holding the most, h, but only when h > k + 1; among sources holding h, the
// one whose oldest stream is oldest gives way. So no source is ever pushed below what the newcomer's
// source then holds: a source with one stream (a household measuring) is never reclaimed from, three
// hosts holding four streams each cannot keep a fourth out, and their reopened streams (k = 3 against
// h = 4) never push anyone out.
//
// holders: the source of every stream holding a slot, oldest first. Returns the index of the stream that
// makes way, or -1 when the newcomer is refused.
int reclaim_choice(const std::vector<SourceKey> &holders, const SourceKey &newcomer);

// --- the minimum rate, window by window -------------------------------------------------------------------
// A stream reports the running count of what its client has moved (a download: what the client has taken
// from its receive buffer, as far as its acknowledgements and window show; an upload: what the server
// received), whenever it looks. An upload's count is exact at every look. A download's advances in
// steps: a receiver announces room only once it has freed a good part of its buffer (on loopback, half
// of a default 128 KB buffer at first and more later), so a client reading at 8 KB/s shows progress
// every eight to fifteen seconds, and what it had read by a window's end is not visible at that end.
// At each step the count is what the client had read, less what its buffer has shrunk by since.
//
// The first window is judged on the rate from the stream's start to the last advance of the count
// within it, when that advance came at least half a window in; otherwise to the window's end, as if
// nothing had been moved since. It passes when the count grew by min_rate × that span; a stream with no
// advance fails it. So a steady client is judged on its true rate (within how late the stream looks, a
// slice), and one that reads nothing is dropped at the end of its first window.
// Each later window is judged the same way from where the last one was counted to, unless the stream has
// an allowance (a download whose client's buffer the sender can see): then its count must be at least
// min_rate × the time since the start, less the allowance, one receive buffer: the most the visible
// count can lag what the client has read.
struct RateJudge {
  int64_t start_ms = 0;
  int64_t ref_ms = 0;  // the point the current window is counted from
  uint64_t ref_count = 0;
  int64_t advance_ms = 0;  // the last advance of the count
  uint64_t advance_count = 0;
  int64_t window_end_ms = 0;
  bool first = true;       // the first window is yet to be judged
  uint64_t allowance = 0;  // 0: every window is judged on its own
};

// A judge for a stream starting at start_ms, its first window ending a window later.
RateJudge rate_judge_start(int64_t start_ms, int64_t window_ms);
// Takes the running count as seen at now_ms; counts never go back (a lower one is ignored).
void rate_judge_sample(RateJudge &j, int64_t now_ms, uint64_t count);
// At or past the window's end: true when the window passed (the next one starts at now_ms), false when
// the stream is too slow. Before the end: true and nothing changes.
bool rate_judge_window(RateJudge &j, int64_t now_ms, int64_t window_ms, uint64_t min_rate_bytes);

// What a download's client has taken from its receive buffer since the first look, from the sender's
// view of the connection: the acknowledged bytes, and the right edge of the client's window (acknowledged
// plus the window it offers). Whatever a client acknowledges without reading sits in its buffer and
// closes its window, so the right edge stands still while nothing is read and moves as reading frees
// room; both counts grow from the first look on, and the smaller growth is what the client took. The
// first look comes after the first send has filled what the client would take unread (within a slice),
// so a client that reads nothing is credited nothing. The right edge at the first look, less what was
// acknowledged by then, is the room the client had: its buffer, the judge's allowance.
struct TakenCount {
  bool started = false;
  bool have_window = false;
  uint64_t acked0 = 0, edge0 = 0;
  uint64_t buffer() const { return have_window ? edge0 : 0; }
};
// acked: acknowledged so far; window: the window the client offers, or have_window false where the
// platform cannot tell (the acknowledged growth alone then counts).
uint64_t taken_since_first_look(TakenCount &t, uint64_t acked, bool have_window, uint64_t window);
