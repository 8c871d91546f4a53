// The server's decisions held to exact figures, without sockets or clocks: whose source an address is,
// which stream makes way for a newcomer, and how a window of a stream's progress is judged.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "policy.h"
#include "server.h"

namespace {

sockaddr_storage address(const char *text) {
  sockaddr_storage ss{};
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo *list = nullptr;
  EXPECT_EQ(getaddrinfo(text, nullptr, &hints, &list), 0) << text;
  if (list != nullptr) {
    std::memcpy(&ss, list->ai_addr, list->ai_addrlen);
    freeaddrinfo(list);
  }
  return ss;
}

SourceKey key(const char *text, int prefix = kDefaultIpv6Prefix) {
  const sockaddr_storage ss = address(text);
  return source_key(reinterpret_cast<const sockaddr *>(&ss), prefix);
}

TEST(ServerPolicy, SourcesAreIpv4AddressesAndIpv6Networks) {
  ASSERT_EQ(net_startup(), 0);
  struct Case {
    const char *a, *b;
    int prefix;
    bool same;
  };
  const Case cases[] = {
      {"127.0.0.2", "::ffff:127.0.0.2", 64, true},  // the dual-stack listener's view of an IPv4 client
      {"127.0.0.2", "127.0.0.3", 64, false},
      {"2001:db8:1::1", "2001:db8:1::ffff:ffff", 64, true},  // one /64, whatever the host picks
      {"2001:db8:1::1", "2001:db8:1:1::1", 64, false},
      {"2001:db8:1::1", "2001:db8:1::2", 128, false},
      {"2001:db8:1:ff::1", "2001:db8:1:1::1", 56, true},   // the first 56 bits agree
      {"2001:db8:1:ff::1", "2001:db8:1:1::1", 57, false},  // bit 57 differs
      {"2001:db8:1:ff::1", "2001:db8:1:80::1", 57, true},
      {"2001:db8:1:ff::1", "2001:db8:1:7f::1", 57, false},
      {"2001:db8:1:ffff::1", "2001:db8:1:1::1", 48, true},
      {"2001:db8:1::1", "2001:db8:2::1", 40, false},  // below 48 counts as 48
      {"::1", "127.0.0.1", 128, false},
      {"::", "0.0.0.0", 64, false},  // an IPv6 network never equals an IPv4 address
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.a) + " " + c.b + " /" + std::to_string(c.prefix));
    EXPECT_EQ(key(c.a, c.prefix) == key(c.b, c.prefix), c.same);
  }
  net_shutdown();
}

TEST(ServerPolicy, ReclaimTakesFromTheLargestOnlyWhenItHoldsTwoMoreThanTheNewcomer) {
  struct Case {
    const char *name;
    std::vector<SourceKey> holders;  // oldest first
    SourceKey newcomer;
    int expected;  // index of the stream that makes way, -1: refused
  };
  const std::vector<SourceKey> three_full = {"a", "b", "c", "a", "b", "c", "a", "b", "c", "a", "b", "c"};
  std::vector<SourceKey> reopened = three_full;
  reopened.erase(reopened.begin());  // a's oldest went to the good client
  reopened.push_back("good");
  const std::vector<SourceKey> twelve = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"};
  const Case cases[] = {
      {"three hosts at four, a newcomer", three_full, "good", 0},
      {"a reclaimed host reopens: three against four", reopened, "a", -1},
      {"another host of the three reopens", reopened, "b", -1},
      {"a second household beside the first", reopened, "other", 0},  // b's oldest, now the oldest of four
      {"twelve sources of one, a thirteenth", twelve, "13", -1},
      {"one of the twelve asks for a second", twelve, "5", -1},
      {"ties by age: b's oldest is older", {"b", "a", "a", "b", "c"}, "d", 0},
      {"ties by age: a's oldest is older", {"a", "b", "a", "b", "c"}, "d", 0},
      {"ties by age, the newer first in the list", {"c", "b", "a", "a", "b"}, "d", 1},
      {"two against a newcomer holding one", {"a", "a", "n"}, "n", -1},
      {"three against a newcomer holding one", {"a", "n", "a", "a"}, "n", 0},
      {"nobody holds anything", {}, "n", -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(reclaim_choice(c.holders, c.newcomer), c.expected);
  }
}

// A client reading steadily at `rate` bytes/s whose receiver reopens its window in steps of `step`
// bytes: the count the sender sees at each look, every 100 ms.
// The first step is `first` bytes, the later ones `step` (0: every byte visible at once).
struct Trace {
  double rate;
  uint64_t first, step;
};

uint64_t visible(const Trace &t, int64_t ms) {
  const uint64_t read = static_cast<uint64_t>(t.rate * static_cast<double>(ms) / 1000);
  if (t.step == 0) return read;
  if (read < t.first) return 0;
  return t.first + (read - t.first) / t.step * t.step;
}

// Runs a judge over a trace for `ms`, looking every 100 ms; the time the stream fails, or -1.
int64_t judge_trace(const Trace &t, int64_t ms, uint64_t allowance) {
  RateJudge j = rate_judge_start(0, 10000);
  for (int64_t now = 100; now <= ms; now += 100) {
    rate_judge_sample(j, now, visible(t, now));
    if (now > 10000) j.allowance = allowance;  // as a download learns it at its first look
    if (!rate_judge_window(j, now, 10000, 8192)) return now;
  }
  return -1;
}

TEST(ServerPolicy, TheFirstWindowIsJudgedOnTheRateBetweenVisibleSteps) {
  struct Case {
    const char *name;
    Trace trace;
    uint64_t allowance;
    int64_t fails_at;  // -1: still running after 60 s
  };
  const Case cases[] = {
      // Uploads: every byte visible at once.
      {"upload at nothing", {0, 0, 0}, 0, 10000},
      {"upload at 0.95x", {0.95 * 8192, 0, 0}, 0, 10000},
      {"upload at 1.05x", {1.05 * 8192, 0, 0}, 0, -1},
      // Downloads from a default loopback client: steps of 64 KiB, visible at 7.6 s (1.05x) and 8.4 s.
      {"download at nothing", {0, 65536, 65536}, 131072, 10000},
      {"download at 0.95x", {0.95 * 8192, 65536, 65536}, 131072, 10000},
      {"download at 1.05x", {1.05 * 8192, 65536, 65536}, 131072, -1},
      // Steps of 96 KiB after the first, as seen on loopback: eleven seconds without a visible advance.
      {"download at 1.05x, larger later steps", {1.05 * 8192, 65536, 98304}, 131072, -1},
      {"download at 0.8x, larger later steps", {0.8 * 8192, 65536, 98304}, 131072, 10000},
      {"full speed", {1e9, 0, 0}, 0, -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(judge_trace(c.trace, 60000, c.allowance), c.fails_at);
  }
}

TEST(ServerPolicy, BurstsDoNotBuyTime) {
  // 4 KB right at the start, then nothing: the advance came too early to stand for the window.
  RateJudge j = rate_judge_start(0, 10000);
  rate_judge_sample(j, 100, 4096);
  EXPECT_TRUE(rate_judge_window(j, 9999, 10000, 8192));
  EXPECT_FALSE(rate_judge_window(j, 10000, 10000, 8192));

  // Enough for the first window, then nothing: a download is dropped once the minimum since its start,
  // less its buffer, passes what it showed.
  j = rate_judge_start(0, 10000);
  rate_judge_sample(j, 9000, 90000);
  ASSERT_TRUE(rate_judge_window(j, 10000, 10000, 8192));
  j.allowance = 128000;
  EXPECT_TRUE(rate_judge_window(j, 20000, 10000, 8192));   // 90000 + 128000 >= 163840
  EXPECT_FALSE(rate_judge_window(j, 30000, 10000, 8192));  // < 245760

  // An upload is judged on each window alone: a fast first window buys nothing for the second.
  j = rate_judge_start(0, 10000);
  rate_judge_sample(j, 9900, 100000000);
  ASSERT_TRUE(rate_judge_window(j, 10000, 10000, 8192));
  rate_judge_sample(j, 15000, 100000000 + 1000);
  EXPECT_FALSE(rate_judge_window(j, 20000, 10000, 8192));

  // No minimum: nothing is ever too slow.
  j = rate_judge_start(0, 10000);
  EXPECT_TRUE(rate_judge_window(j, 10000, 10000, 0));
}

TEST(ServerPolicy, WhatADownloadsClientTookIsTheSmallerGrowthOfAcksAndWindowEdge) {
  struct Look {
    uint64_t acked, window;
    uint64_t taken;
  };
  struct Case {
    const char *name;
    bool have_window;
    std::vector<Look> looks;
  };
  const Case cases[] = {
      // Fills its 128000-byte buffer and reads nothing: the edge stands still.
      {"reads nothing", true, {{32768, 95232, 0}, {128000, 0, 0}, {128000, 0, 0}}},
      // Reads 65536 and the window reopens by as much; the sender fills it at once.
      {"reads in steps", true, {{128000, 0, 0}, {128000, 65536, 0}, {193536, 0, 65536}}},
      // Keeps up: acknowledges everything with the window wide open.
      {"keeps up", true, {{1000000, 6000000, 0}, {51000000, 6000000, 50000000}}},
      // Falls behind: acknowledged, but the window shrinks by what sits unread.
      {"falls behind", true, {{1000000, 6000000, 0}, {7000000, 1000000, 1000000}}},
      // Where the platform shows no window, the acknowledged growth alone.
      {"no window", false, {{32768, 0, 0}, {128000, 0, 95232}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TakenCount t;
    for (const Look &l : c.looks)
      EXPECT_EQ(taken_since_first_look(t, l.acked, c.have_window, l.window), l.taken);
  }
}

TEST(ServerPolicy, MetricsTextCarriesEveryCountByReason) {
  ServerStats st;
  st.connections = 101;
  st.pending = 3;
  st.streams = 12;
  st.refused_per_source = 7;
  st.refused_full = 8;
  st.refused_no_thread = 9;
  st.refused_penalty = 21;
  st.reclaimed = 10;
  st.too_slow = 11;
  st.max_length = 12;
  st.evicted = 13;
  st.timed_out = 14;
  st.unknown_command = 15;
  st.pings = 16;
  st.downloads = 17;
  st.uploads = 18;
  st.bytes_sent = 1ull << 40;
  st.bytes_received = 20;
  const std::string text = server_metrics_text(st);
  const char *const lines[] = {
      "kestrum_server_connections_total 101\n",
      "kestrum_server_pending 3\n",
      "kestrum_server_streams 12\n",
      "kestrum_server_streams_refused_total{reason=\"per_source\"} 7\n",
      "kestrum_server_streams_refused_total{reason=\"full\"} 8\n",
      "kestrum_server_streams_refused_total{reason=\"no_thread\"} 9\n",
      "kestrum_server_streams_refused_total{reason=\"penalty\"} 21\n",
      "kestrum_server_streams_ended_total{reason=\"reclaimed\"} 10\n",
      "kestrum_server_streams_ended_total{reason=\"too_slow\"} 11\n",
      "kestrum_server_streams_ended_total{reason=\"max_length\"} 12\n",
      "kestrum_server_pending_closed_total{reason=\"evicted\"} 13\n",
      "kestrum_server_pending_closed_total{reason=\"timed_out\"} 14\n",
      "kestrum_server_pending_closed_total{reason=\"unknown_command\"} 15\n",
      "kestrum_server_pings_total 16\n",
      "kestrum_server_streams_finished_total{direction=\"download\"} 17\n",
      "kestrum_server_streams_finished_total{direction=\"upload\"} 18\n",
      "kestrum_server_bytes_total{direction=\"download\"} 1099511627776\n",
      "kestrum_server_bytes_total{direction=\"upload\"} 20\n",
      "# TYPE kestrum_server_streams gauge\n",
      "# TYPE kestrum_server_streams_refused_total counter\n",
  };
  for (const char *line : lines) EXPECT_NE(text.find(line), std::string::npos) << line << "in:\n" << text;
}

}  // namespace
