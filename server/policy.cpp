#include "policy.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

SourceKey source_key(const sockaddr *sa, int ipv6_prefix) {
  if (sa->sa_family == AF_INET) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
    return SourceKey(reinterpret_cast<const char *>(&in->sin_addr), 4);
  }
  if (sa->sa_family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
    const auto *b = reinterpret_cast<const unsigned char *>(&in6->sin6_addr);
    // An IPv4 client of the dual-stack listener is the same source as over a plain IPv4 listener.
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(b, kMapped, sizeof kMapped) == 0)
      return SourceKey(reinterpret_cast<const char *>(b + 12), 4);
    const int bits = std::clamp(ipv6_prefix, kMinIpv6Prefix, kMaxIpv6Prefix);
    unsigned char net[16] = {};
    std::memcpy(net, b, static_cast<size_t>(bits / 8));
    if (bits % 8 != 0) net[bits / 8] = static_cast<unsigned char>(b[bits / 8] & (0xff << (8 - bits % 8)));
    // 16 bytes whatever the prefix, so an IPv6 network never equals an IPv4 address.
    return SourceKey(reinterpret_cast<const char *>(net), sizeof net);
  }
  return SourceKey();
}

int reclaim_choice(const std::vector<SourceKey> &holders, const SourceKey &newcomer) {
  std::unordered_map<SourceKey, int> held;
  for (const SourceKey &s : holders) ++held[s];
  const auto mine = held.find(newcomer);
  const int k = mine == held.end() ? 0 : mine->second;
  int most = 0;
  for (const auto &entry : held) most = std::max(most, entry.second);
  if (most <= k + 1) return -1;
  // Oldest first: the first stream of a source holding the most is that source's oldest, and the
  // sources tied at the most are met in the order of their oldest streams.
  for (size_t i = 0; i < holders.size(); ++i) {
    if (held[holders[i]] == most) return static_cast<int>(i);
  }
  return -1;
}

RateJudge rate_judge_start(int64_t start_ms, int64_t window_ms) {
  RateJudge j;
  j.start_ms = j.ref_ms = j.advance_ms = start_ms;
  j.window_end_ms = start_ms + window_ms;
  return j;
}

void rate_judge_sample(RateJudge &j, int64_t now_ms, uint64_t count) {
  if (count <= j.advance_count) return;
  j.advance_count = count;
  j.advance_ms = now_ms;
}

bool rate_judge_window(RateJudge &j, int64_t now_ms, int64_t window_ms, uint64_t min_rate_bytes) {
  if (now_ms < j.window_end_ms) return true;
  if (!j.first && j.allowance > 0) {
    const uint64_t due =
        min_rate_bytes * static_cast<uint64_t>(std::max<int64_t>(0, now_ms - j.start_ms)) / 1000;
    if (j.advance_count + j.allowance < due) return false;
    j.window_end_ms = now_ms + window_ms;
    return true;
  }
  j.first = false;
  const bool advanced = j.advance_count > j.ref_count;
  const int64_t span_end = advanced && 2 * (j.advance_ms - j.ref_ms) >= window_ms ? j.advance_ms : now_ms;
  const uint64_t span_ms = static_cast<uint64_t>(std::max<int64_t>(0, span_end - j.ref_ms));
  const uint64_t needed = min_rate_bytes * span_ms / 1000;
  const uint64_t moved = j.advance_count - j.ref_count;
  if (min_rate_bytes > 0 && (!advanced || moved < needed)) return false;
  j.ref_ms = span_end;
  j.ref_count = j.advance_count;
  j.window_end_ms = now_ms + window_ms;
  return true;
}

uint64_t taken_since_first_look(TakenCount &t, uint64_t acked, bool have_window, uint64_t window) {
  if (!t.started) {
    t.started = true;
    t.have_window = have_window;
    t.acked0 = acked;
    t.edge0 = acked + window;
    return 0;
  }
  const uint64_t by_acks = acked > t.acked0 ? acked - t.acked0 : 0;
  if (!t.have_window || !have_window) return by_acks;
  const uint64_t edge = acked + window;
  const uint64_t by_edge = edge > t.edge0 ? edge - t.edge0 : 0;
  return std::min(by_acks, by_edge);
}
