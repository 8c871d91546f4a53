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
#include "safe_text.h"
#include "timeline.h"
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
bool g_latency_events = false;          // each probe is also written as a "latency" event
std::vector<ProbeSample> g_samples[4];  // by LoadPhase; none is not used

// One probe against the run's endpoint, sent now.
ProbeSample take_probe() { return probe_sample(g_endpoint, kProbeLimitMs, &g_abort); }

void record(LoadPhase phase, const ProbeSample &sample) {
  {
    const std::lock_guard<std::mutex> lock(g_mutex);
    g_samples[static_cast<int>(phase)].push_back(sample);
  }
  if (g_latency_events) event_latency(phase_name(phase), sample);
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
    const ProbeSample sample = take_probe();
    if (sample.ms == kProbeStopped) break;
    record(static_cast<LoadPhase>(phase), sample);
  }
}

}  // namespace

std::string host_text(const std::string &host) {
  const std::string bare = without_brackets(host);
  return printable(bare.find(':') != std::string::npos ? "[" + bare + "]" : bare);
}

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
    *error = "cannot resolve " + host_text(host) + family_text + ": " +
             (rc != 0 ? gai_strerror(rc) : "no address");
    return false;
  }
  Endpoint e;
  e.len = static_cast<socklen_t>(std::min<size_t>(list->ai_addrlen, sizeof e.addr));
  std::memcpy(&e.addr, list->ai_addr, e.len);
  freeaddrinfo(list);
  char text[NI_MAXHOST] = "";
  if (getnameinfo(reinterpret_cast<const sockaddr *>(&e.addr), e.len, text, sizeof text, nullptr, 0,
                  NI_NUMERICHOST) != 0) {
    *error = "cannot resolve " + host_text(host) + ": the address cannot be written";
    return false;
  }
  e.address = text;
  e.port = port;
  *out = e;
  return true;
}

std::string endpoint_text(const Endpoint &e) { return host_port_text(e.address, e.port); }

ProbeSample probe_sample(const Endpoint &e, int limit_ms, const std::atomic<bool> *stop) {
  ProbeSample out;
  out.t_s = timeline_now_s();
  PingPeer peer;
  peer.addr = reinterpret_cast<const sockaddr *>(&e.addr);
  peer.addr_len = static_cast<int>(e.len);
  const PingSample sample = ping_sample(peer, {limit_ms, limit_ms, limit_ms}, stop);
  if (sample.result == PingResult::cancelled) {
    out.ms = kProbeStopped;
  } else if (sample.result == PingResult::ok && sample.echoed) {
    // kestrum-server answers with the probe's own 8 bytes; anything else is not its answer. The kit's
    // two parts are the connection's set-up (to the probe's send) and the request to its reply.
    out.connect_ms = sample.connect_us / 1000;
    out.reply_ms = sample.reply_us / 1000;
    out.ms = out.connect_ms + out.reply_ms;
  }
  return out;
}

double probe_once(const Endpoint &e, int limit_ms, const std::atomic<bool> *stop) {
  return probe_sample(e, limit_ms, stop).ms;
}

const char *phase_name(LoadPhase phase) {
  switch (phase) {
    case LoadPhase::idle:
      return "idle";
    case LoadPhase::upload:
      return "upload";
    case LoadPhase::download:
    case LoadPhase::none:
      break;
  }
  return "download";
}

LoadedLatency summarize_latency(const std::vector<ProbeSample> &taken) {
  LoadedLatency r;
  std::vector<double> samples;
  std::vector<double> connects;
  std::vector<double> replies;
  for (const auto &p : taken) {
    if (p.ms < 0) {
      ++r.lost;
      continue;
    }
    samples.push_back(p.ms);
    if (p.connect_ms >= 0) connects.push_back(p.connect_ms);
    if (p.reply_ms >= 0) replies.push_back(p.reply_ms);
  }
  r.samples = static_cast<int>(samples.size());
  if (samples.empty()) return r;
  if (!connects.empty()) r.connect_ms = median(connects);
  if (!replies.empty()) r.reply_ms = median(replies);
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
  for (auto &samples : g_samples) samples.clear();
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

void prober_idle(int want) {
  int answered = 0;
  int lost_in_a_row = 0;
  double next = now_us();
  for (int sent = 0; answered < want && sent < 2 * want && lost_in_a_row < 3; ++sent) {
    if (g_abort.load(std::memory_order_relaxed)) return;
    const double wait_us = next - now_us();
    if (wait_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(wait_us)));
    next = now_us() + kProbeIntervalMs * 1000.0;
    const ProbeSample sample = take_probe();
    if (sample.ms == kProbeStopped) return;
    record(LoadPhase::idle, sample);
    if (sample.ms >= 0) {
      ++answered;
      lost_in_a_row = 0;
    } else {
      ++lost_in_a_row;
    }
  }
}

std::vector<ProbeSample> prober_samples(LoadPhase phase) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  return g_samples[static_cast<int>(phase)];
}

LoadedLatency prober_result(LoadPhase phase) { return summarize_latency(prober_samples(phase)); }
