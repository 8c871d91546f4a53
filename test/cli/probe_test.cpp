// The command's own latency probe and the figures it makes of the samples, tested in-process.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli_support.h"
#include "fake_server.h"
#include "probe.h"
#include "server.h"

namespace {

struct SummaryCase {
  const char *what;
  std::vector<double> samples;  // in the order taken; -1 for a lost probe
  int answered, lost;
  double median, p90, jitter;
};

TEST(LatencyFigures, MedianNearestRankP90AndJitterOfConsecutiveAnsweredSamples) {
  const SummaryCase cases[] = {
      {"one sample", {5}, 1, 0, 5, 5, 0},
      {"odd count, unsorted, one lost", {30, -1, 10, 20}, 3, 1, 20, 30, 15},  // jitter (20 + 10) / 2
      {"even count: mean of the middle two", {4, 1, 3, 2}, 4, 0, 2.5, 4, 2},
      // Ten samples: the 9th smallest is the 90th percentile, so one outlier stays out of it.
      {"one outlier in ten", {1, 1, 1, 1, -1, 1, 1, 1, 1, 2, 100, -1}, 10, 2, 1, 2, 99.0 / 9},
      {"all lost: no figures", {-1, -1, -1}, 0, 3, 0, 0, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<ProbeSample> taken;
    for (const double ms : c.samples) taken.push_back({0.1 * static_cast<double>(taken.size()), ms});
    const LoadedLatency l = summarize_latency(taken);
    EXPECT_EQ(l.samples, c.answered);
    EXPECT_EQ(l.lost, c.lost);
    EXPECT_DOUBLE_EQ(l.median_ms, c.median);
    EXPECT_DOUBLE_EQ(l.p90_ms, c.p90);
    EXPECT_DOUBLE_EQ(l.jitter_ms, c.jitter);
  }
}

Endpoint loopback(int port) {
  Endpoint e;
  std::string error;
  EXPECT_TRUE(resolve_endpoint("127.0.0.1", port, Family::ipv4, &e, &error)) << error;
  return e;
}

TEST(Probe, AnsweredRefusedSilentAndStopped) {
  ServerConfig config;
  config.bind = "127.0.0.1";
  config.port = 0;
  config.quiet = true;
  std::string error;
  Server *server = server_start(config, &error);
  ASSERT_NE(server, nullptr) << error;
  const double answered = probe_once(loopback(server_port(server)), 2000, nullptr);
  EXPECT_GT(answered, 0);
  EXPECT_LT(answered, 2000);
  // The server counts the probe once it has answered, which may trail the client by a moment.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (server_stats(server).pings < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(server_stats(server).pings, 1u);
  server_stop(server);

  ClosedPort closed;
  EXPECT_EQ(probe_once(loopback(closed.port()), 2000, nullptr), kProbeLost);

  // Connected, probe read, never answered.
  FakeServer silent(fake::silent());
  ASSERT_TRUE(silent.ok());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(probe_once(loopback(silent.port()), 300, nullptr), kProbeLost);
  const double waited =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 300) << "lost only once the limit has passed";

  // A raised stop flag ends a probe that would otherwise wait the whole limit, and it is not a loss.
  std::atomic<bool> stop{false};
  std::thread raiser([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.store(true);
  });
  EXPECT_EQ(probe_once(loopback(silent.port()), 60000, &stop), kProbeStopped);
  raiser.join();
}

TEST(Probe, ResolvesOnceWithTheFamilyAsked) {
  struct Case {
    const char *host;
    Family family;
    bool ok;
    const char *address;  // or, when it fails, how the message begins: an IPv6 address in brackets
  } cases[] = {
      {"127.0.0.1", Family::any, true, "127.0.0.1"},
      {"127.0.0.1", Family::ipv4, true, "127.0.0.1"},
      {"127.0.0.1", Family::ipv6, false, "cannot resolve 127.0.0.1 (IPv6): "},
      {"::1", Family::ipv6, true, "::1"},
      {"[::1]", Family::any, true, "::1"},
      {"::1", Family::ipv4, false, "cannot resolve [::1] (IPv4): "},
      {"[::1]", Family::ipv4, false, "cannot resolve [::1] (IPv4): "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.host);
    Endpoint e;
    std::string error;
    EXPECT_EQ(resolve_endpoint(c.host, 9301, c.family, &e, &error), c.ok) << error;
    if (c.ok) {
      EXPECT_EQ(e.address, c.address);
      EXPECT_EQ(e.port, 9301);
    } else {
      EXPECT_EQ(error.rfind(c.address, 0), 0u) << error;
    }
  }
}

}  // namespace
