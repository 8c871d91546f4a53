#include "probe.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "events.h"
#include "host_port.h"
#include "quantiles.h"
#include "transport.h"

namespace {

constexpr int kProbeLimitMs = 2000;    // a probe without an answer by then is lost
constexpr int kProbeIntervalMs = 100;  // at most 10 probes a second

// --- the prober ------------------------------------------------------------------------------------------

std::mutex g_mutex;  // guards the samples and the wake-ups below
std::condition_variable g_wake;
std::thread g_thread;
std::atomic<bool> g_stop{false};   // no new probes; the one in flight finishes and counts
std::atomic<bool> g_abort{false};  // the probe in flight is abandoned too
std::atomic<int> g_phase{0};
Endpoint g_endpoint;
bool g_latency_events = false;     // each probe is also written as a "latency" event
std::vector<double> g_samples[3];  // by LoadPhase; only download and upload are used
int g_lost[3] = {0, 0, 0};

const char *phase_name(int phase) {
  return phase == static_cast<int>(LoadPhase::upload) ? "upload" : "download";
}

void prober_loop() {
  constexpr double kIntervalUs = kProbeIntervalMs * 1000.0;
  constexpr double kLookUs = 10000;  // how often an idle prober looks at the phase
  double next = now_us();
  int last_phase = 0;
  while (!g_stop.load(std::memory_order_relaxed)) {
    const int phase = g_phase.load(std::memory_order_relaxed);
    const double now = now_us();
    if (phase != last_phase) {
      // A transfer starts with its connection set-up: the first probe waits one interval, so that it
      // meets the transfer under way rather than an idle link.
      last_phase = phase;
      next = now + kIntervalUs;
    }
    if (phase == 0 || now < next) {
      // Idle, or too early for the next probe: wait a little, then look at the phase again.
      const double wait_us = phase == 0 ? kLookUs : std::min(next - now, kLookUs);
      std::unique_lock<std::mutex> lock(g_mutex);
      g_wake.wait_for(lock, std::chrono::microseconds(static_cast<int64_t>(wait_us) + 1),
                      [] { return g_stop.load(std::memory_order_relaxed); });
      continue;
    }
    next = now + kIntervalUs;
    const double ms = probe_once(g_endpoint, kProbeLimitMs, &g_abort);
    if (ms == kProbeStopped) break;
    {
      const std::lock_guard<std::mutex> lock(g_mutex);
      if (ms >= 0) {
        g_samples[phase].push_back(ms);
      } else {
        ++g_lost[phase];
      }
    }
    if (g_latency_events) event_latency(phase_name(phase), ms);
  }
}

}  // namespace

bool resolve_endpoint(const std::string &host, int port, Family family, Endpoint *out, std::string *error) {
  addrinfo hints{};
  hints.ai_family = family == Family::ipv4 ? AF_INET : family == Family::ipv6 ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  // Brackets are how an IPv6 address is written next to a port; the resolver does not take them.
  const std::string name = without_brackets(host);
  const std::string service = std::to_string(port);
  addrinfo *list = nullptr;
  const int rc = getaddrinfo(name.c_str(), service.c_str(), &hints, &list);
  if (rc != 0 || list == nullptr) {
    const char *family_text = family == Family::ipv4 ? " (IPv4)" : family == Family::ipv6 ? " (IPv6)" : "";
    *error = "cannot resolve " + host + family_text + ": " + (rc != 0 ? gai_strerror(rc) : "no address");
    return false;
  }
  Endpoint e;
  e.len = static_cast<socklen_t>(std::min<size_t>(list->ai_addrlen, sizeof e.addr));
  std::memcpy(&e.addr, list->ai_addr, e.len);
  freeaddrinfo(list);
  char text[NI_MAXHOST] = "";
  if (getnameinfo(reinterpret_cast<const sockaddr *>(&e.addr), e.len, text, sizeof text, nullptr, 0,
                  NI_NUMERICHOST) != 0) {
    *error = "cannot resolve " + host + ": the address cannot be written";
    return false;
  }
  e.address = text;
  e.port = port;
  *out = e;
  return true;
}

std::string endpoint_text(const Endpoint &e) { return host_port_text(e.address, e.port); }

double probe_once(const Endpoint &e, int limit_ms, const std::atomic<bool> *stop) {
  PingPeer peer;
  peer.addr = reinterpret_cast<const sockaddr *>(&e.addr);
  peer.addr_len = static_cast<int>(e.len);
  const PingSample sample = ping_sample(peer, {limit_ms, limit_ms, limit_ms}, stop);
  if (sample.result == PingResult::cancelled) return kProbeStopped;
  // kestrum-server answers with the probe's own 8 bytes; anything else is not its answer.
  if (sample.result != PingResult::ok || !sample.echoed) return kProbeLost;
  return (sample.connect_us + sample.reply_us) / 1000;
}

LoadedLatency summarize_latency(const std::vector<double> &samples, int lost) {
  LoadedLatency r;
  r.samples = static_cast<int>(samples.size());
  r.lost = lost;
  if (samples.empty()) return r;
  double sum_diff = 0;
  for (size_t i = 1; i < samples.size(); ++i) sum_diff += std::fabs(samples[i] - samples[i - 1]);
  r.jitter_ms = samples.size() > 1 ? sum_diff / static_cast<double>(samples.size() - 1) : 0;
  r.median_ms = median(samples);
  r.p90_ms = nearest_rank(samples, 0.9);
  return r;
}

bool prober_start(const Endpoint &e, bool stream) {
  prober_stop();
  g_endpoint = e;
  g_latency_events = stream;
  for (int i = 0; i < 3; ++i) {
    g_samples[i].clear();
    g_lost[i] = 0;
  }
  g_phase.store(0, std::memory_order_relaxed);
  g_stop.store(false, std::memory_order_relaxed);
  g_abort.store(false, std::memory_order_relaxed);
  try {
    g_thread = std::thread(prober_loop);
  } catch (const std::system_error &) {
    return false;
  }
  return true;
}

void prober_abort() { g_abort.store(true, std::memory_order_relaxed); }

void prober_set_phase(LoadPhase phase) { g_phase.store(static_cast<int>(phase), std::memory_order_relaxed); }

void prober_stop() {
  if (!g_thread.joinable()) return;
  {
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_stop.store(true, std::memory_order_relaxed);
  }
  g_wake.notify_all();
  // Bounded: a probe in flight ends within its 2 s limit, or within a few milliseconds of prober_abort.
  g_thread.join();
  g_phase.store(0, std::memory_order_relaxed);
}

LoadedLatency prober_result(LoadPhase phase) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  const int i = static_cast<int>(phase);
  return summarize_latency(g_samples[i], g_lost[i]);
}
