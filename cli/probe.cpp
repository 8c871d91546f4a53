#include "probe.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "events.h"
#include "host_port.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kProbeLimitMs = 2000;    // a probe without an answer by then is lost
constexpr int kProbeIntervalMs = 100;  // at most 10 probes a second
constexpr int kStopCheckMs = 50;       // how often a probe in flight looks at the stop flag
constexpr char kPingCommand = 'P';
constexpr int kPingPayload = 8;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Whole milliseconds to the deadline, rounded up: a wait never ends before it, and 0 means it has passed.
int ms_left(Clock::time_point deadline) {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  return us > 0 ? static_cast<int>((us + 999) / 1000) : 0;
}

bool stopped(const std::atomic<bool> *stop) {
  return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// The probe's steps after the socket is open; the caller closes it.
double run_probe(sock_t s, const Endpoint &e, int limit_ms, const std::atomic<bool> *stop) {
  static std::atomic<unsigned> sequence{0};
  const unsigned tag = sequence.fetch_add(1, std::memory_order_relaxed);
  unsigned char probe[1 + kPingPayload] = {static_cast<unsigned char>(kPingCommand)};
  for (int i = 0; i < kPingPayload; ++i)
    probe[1 + i] = static_cast<unsigned char>((tag >> (8 * (i % 4))) ^ i);

  sock_set_nonblocking(s, true);
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::milliseconds(limit_ms);
  if (::connect(s, reinterpret_cast<const sockaddr *>(&e.addr), e.len) != 0 &&
      !err_is_in_progress(sock_error())) {
    return kProbeLost;
  }
  for (;;) {
    if (stopped(stop)) return kProbeStopped;
    const int left = ms_left(deadline);
    if (left == 0) return kProbeLost;
    const ConnectWait w = sock_wait_connect(s, std::min(left, kStopCheckMs));
    if (w == ConnectWait::failed) return kProbeLost;
    if (w == ConnectWait::ready) break;
  }
  int err = 0;
  if (!sock_pending_error(s, &err) || err != 0) return kProbeLost;
  // Nine bytes into a fresh connection's empty send buffer: taken whole or not at all.
  if (sock_send(s, probe, sizeof probe) != static_cast<int>(sizeof probe)) return kProbeLost;

  unsigned char reply[kPingPayload];
  int held = 0;
  while (held < kPingPayload) {
    if (stopped(stop)) return kProbeStopped;
    const int left = ms_left(deadline);
    if (left == 0) return kProbeLost;
    if (sock_wait_readable(s, std::min(left, kStopCheckMs)) != 1) continue;
    const int n = sock_recv(s, reply + held, kPingPayload - held);
    if (n == 0) return kProbeLost;  // closed before answering
    if (n < 0) {
      if (err_is_retryable(sock_error())) continue;
      return kProbeLost;
    }
    held += n;
  }
  const double ms = ms_since(start);
  if (std::memcmp(reply, probe + 1, kPingPayload) != 0) return kProbeLost;
  return ms;
}

// --- the prober ------------------------------------------------------------------------------------------

std::mutex g_mutex;  // guards the samples and the wake-ups below
std::condition_variable g_wake;
std::thread g_thread;
std::atomic<bool> g_stop{false};   // no new probes; the one in flight finishes and counts
std::atomic<bool> g_abort{false};  // the probe in flight is abandoned too
std::atomic<int> g_phase{0};
Endpoint g_endpoint;
bool g_stream = false;
std::vector<double> g_samples[3];  // by LoadPhase; only download and upload are used
int g_lost[3] = {0, 0, 0};

const char *phase_name(int phase) {
  return phase == static_cast<int>(LoadPhase::upload) ? "upload" : "download";
}

void prober_loop() {
  Clock::time_point next = Clock::now();
  int last_phase = 0;
  while (!g_stop.load(std::memory_order_relaxed)) {
    const int phase = g_phase.load(std::memory_order_relaxed);
    const Clock::time_point now = Clock::now();
    if (phase != last_phase) {
      // A transfer starts with its connection set-up: the first probe waits one interval, so that it
      // meets the transfer under way rather than an idle link.
      last_phase = phase;
      next = now + std::chrono::milliseconds(kProbeIntervalMs);
    }
    if (phase == 0 || now < next) {
      // Idle, or too early for the next probe: wait a little, then look at the phase again.
      const Clock::time_point until = phase == 0 ? now + std::chrono::milliseconds(10)
                                                 : std::min(next, now + std::chrono::milliseconds(10));
      std::unique_lock<std::mutex> lock(g_mutex);
      g_wake.wait_until(lock, until, [] { return g_stop.load(std::memory_order_relaxed); });
      continue;
    }
    next = now + std::chrono::milliseconds(kProbeIntervalMs);
    double ms = kProbeLost;
    const sock_t s = sock_open(g_endpoint.addr.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (s != KS_INVALID_SOCKET) {
      ms = run_probe(s, g_endpoint, kProbeLimitMs, &g_abort);
      sock_close(s);
    }
    if (ms == kProbeStopped) break;
    {
      const std::lock_guard<std::mutex> lock(g_mutex);
      if (ms >= 0) {
        g_samples[phase].push_back(ms);
      } else {
        ++g_lost[phase];
      }
    }
    if (g_stream) event_latency(phase_name(phase), ms);
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
  const sock_t s = sock_open(e.addr.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == KS_INVALID_SOCKET) return kProbeLost;
  const double ms = run_probe(s, e, limit_ms, stop);
  sock_close(s);
  return ms;
}

LoadedLatency summarize_latency(const std::vector<double> &samples, int lost) {
  LoadedLatency r;
  r.samples = static_cast<int>(samples.size());
  r.lost = lost;
  if (samples.empty()) return r;
  double sum_diff = 0;
  for (size_t i = 1; i < samples.size(); ++i) sum_diff += std::fabs(samples[i] - samples[i - 1]);
  r.jitter_ms = samples.size() > 1 ? sum_diff / static_cast<double>(samples.size() - 1) : 0;
  std::vector<double> sorted = samples;
  std::sort(sorted.begin(), sorted.end());
  const size_t n = sorted.size();
  r.median_ms = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  // Nearest rank: the smallest sample that at least 90% of the samples do not exceed.
  const size_t rank = static_cast<size_t>(std::ceil(0.9 * static_cast<double>(n)));
  r.p90_ms = sorted[rank - 1];
  return r;
}

bool prober_start(const Endpoint &e, bool stream) {
  prober_stop();
  g_endpoint = e;
  g_stream = stream;
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
  // Bounded: a probe in flight ends within its 2 s limit, or within 50 ms of prober_abort.
  g_thread.join();
  g_phase.store(0, std::memory_order_relaxed);
}

LoadedLatency prober_result(LoadPhase phase) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  const int i = static_cast<int>(phase);
  return summarize_latency(g_samples[i], g_lost[i]);
}
