// The soak: thousands of short measurements against a server that misbehaves at random on every
// connection, while another thread fires kestrum_cancel at random moments. Every call must come back
// within its bound with a value and a message the library allows and a valid result document; at the end
// the process must hold the descriptors, threads and memory it held after the warm-up.
//
//   reliability_soak [--seconds S] [--seed N]
//
// Defaults: 60 s and a fixed seed, both printed; KESTRUM_SOAK_SECONDS and KESTRUM_SOAK_SEED override the
// defaults, the options override both. The same seed draws the same measurements and server faults; the
// cancel thread's timing still varies from run to run.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "checks.h"
#include "fault_server.h"
#include "figures.h"
#include "kestrum.h"
#include "transport.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Documented bounds: a connection attempt waits at most 3 s, each receive of a ping reply at most 2 s,
// and a transfer returns within its duration, one 20 ms transfer call and the monitor's 500 ms stop wait.
constexpr double kConnectLimitMs = 3000;
constexpr double kPingReplyLimitMs = 2000;
constexpr double kTransferSlackMs = 600;
// A connection to a loopback listener (or a refusal from one) takes no measurable time; this is room for
// scheduling on a busy machine, not a protocol bound.
constexpr double kLoopbackConnectMs = 100;
constexpr double kEntryCheckMs = 50;
// How long the watchdog lets a call run past its bound before it declares a hang and aborts.
constexpr int kHangGraceMs = 5000;
// Memory may grow by this much between the end of the warm-up and the end of the run.
constexpr long kRssSlackKib = 4096;

enum class Kind { none, ping, download, upload, run_all, bad_args };
const char *kind_name(Kind k) {
  switch (k) {
    case Kind::ping:
      return "ping";
    case Kind::download:
      return "download";
    case Kind::upload:
      return "upload";
    case Kind::run_all:
      return "full run";
    case Kind::bad_args:
      return "bad arguments";
    case Kind::none:
      break;
  }
  return "none";
}

enum class Target { faulty, clean, refused, unanswered };
const char *target_name(Target t) {
  switch (t) {
    case Target::faulty:
      return "faulty";
    case Target::clean:
      return "clean";
    case Target::refused:
      return "refused";
    case Target::unanswered:
      return "unanswered";
  }
  return "?";
}

// --- state shared with the callback, the cancel thread and the watchdog -----------------------------------

std::atomic<int> g_call{0};  // the Kind of the measuring call under way
std::atomic<int64_t> g_call_start_us{0};
std::atomic<int64_t> g_call_bound_us{0};
std::atomic<uint64_t> g_cancels_started{0}, g_cancels_finished{0}, g_swaps{0};
std::atomic<uint64_t> g_reports[4] = {};
std::atomic<bool> g_stop{false};

// The kit's clock in whole microseconds, as the watchdog's atomics hold it.
int64_t clock_us() { return static_cast<int64_t>(now_us()); }

class Violations {
 public:
  void add(const std::string &what) {
    std::lock_guard<std::mutex> lock(mu_);
    ++count_;
    if (shown_.size() < 25) shown_.push_back(what);
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mu_);
    return count_;
  }
  void print() {
    std::lock_guard<std::mutex> lock(mu_);
    for (const std::string &s : shown_) std::printf("soak: VIOLATION %s\n", s.c_str());
    if (count_ > shown_.size()) std::printf("soak: ... and %zu more\n", count_ - shown_.size());
  }

 private:
  std::mutex mu_;
  size_t count_ = 0;
  std::vector<std::string> shown_;
};
Violations g_violations;

// The progress callback: every report must carry a known label, a percentage of 0 to 100 and a finite,
// non-negative rate, and must belong to the measuring call under way. No allocation unless it complains.
void on_tick(const char *label, double rate, int percent) {
  const Kind call = static_cast<Kind>(g_call.load());
  const char *const labels[] = {"ping", "download", "upload", "complete"};
  int which = -1;
  for (int i = 0; i < 4; ++i) {
    if (label != nullptr && std::strcmp(label, labels[i]) == 0) which = i;
  }
  if (which < 0 || percent < 0 || percent > 100 || !std::isfinite(rate) || rate < 0 ||
      ((which == 0 || which == 3) && rate != 0.0)) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "report (%s, %g, %d) is out of range", label ? label : "(null)", rate,
                  percent);
    g_violations.add(buf);
    return;
  }
  g_reports[which]++;
  const bool belongs = call == Kind::run_all || (call == Kind::ping && which == 0) ||
                       (call == Kind::download && which == 1) || (call == Kind::upload && which == 2);
  if (!belongs) {
    g_violations.add(std::string("report \"") + label + "\" arrived during " +
                     (call == Kind::none ? "no measuring call" : kind_name(call)));
  }
}

// Fires kestrum_cancel at random moments (about every 120 ms, now and then in bursts), and now and then
// swaps the callback out and back in.
void cancel_loop(uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::exponential_distribution<double> gap(1.0 / 120.0);
  while (!g_stop.load()) {
    const auto until = Clock::now() + std::chrono::microseconds(static_cast<int64_t>(gap(rng) * 1000));
    while (!g_stop.load() && Clock::now() < until) std::this_thread::sleep_for(milliseconds(1));
    if (g_stop.load()) break;
    const int burst = std::uniform_int_distribution<int>(0, 9)(rng) == 0 ? 5 : 1;
    for (int i = 0; i < burst; ++i) {
      g_cancels_started++;
      kestrum_cancel();
      g_cancels_finished++;
    }
    if (std::uniform_int_distribution<int>(0, 9)(rng) == 0) {
      kestrum_set_tick(nullptr);
      std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<int>(0, 20)(rng)));
      kestrum_set_tick(on_tick);
      g_swaps++;
    }
  }
}

// Aborts the run, with what was under way, when a call outlives its bound by kHangGraceMs.
void watchdog_loop() {
  while (!g_stop.load()) {
    std::this_thread::sleep_for(milliseconds(50));
    const int64_t start = g_call_start_us.load();
    const int64_t bound = g_call_bound_us.load();
    if (start != 0 && clock_us() - start > bound + int64_t{kHangGraceMs} * 1000) {
      std::printf("soak: HANG: a %s call has run %.0f ms, its bound is %.0f ms\n",
                  kind_name(static_cast<Kind>(g_call.load())), (clock_us() - start) / 1000.0, bound / 1000.0);
      std::fflush(stdout);
      std::abort();
    }
  }
}

// --- one measurement --------------------------------------------------------------------------------------

struct Plan {
  Kind kind = Kind::ping;
  Target target = Target::faulty;
  const char *host = "127.0.0.1";
  int port = 0;
  int count = 1;                   // ping samples asked for
  int duration_ms = 0;             // transfers and full runs
  const char *bad_host = nullptr;  // bad_args: the host given (null allowed)
  std::string expected_error;      // bad_args: the entry check's message
};

struct Tally {
  std::map<std::string, uint64_t> by_kind, by_target, messages;
  std::map<std::string, double> seconds_by_kind;
  uint64_t measurements = 0, succeeded = 0, failed = 0, lowers = 0, restarts = 0;
  double worst_ping_ms_per_sample = 0;  // longest ping call divided by its samples
  double worst_transfer_over_ms = 0;    // longest transfer call past its planned duration
  double worst_bound_use = 0;           // largest elapsed / bound of any call
};

double bound_ms(const Plan &p) {
  const double connect = p.target == Target::unanswered ? kConnectLimitMs : kLoopbackConnectMs;
  const double sample = connect + kPingReplyLimitMs;
  const double transfer = connect + p.duration_ms + kTransferSlackMs;
  switch (p.kind) {
    case Kind::ping: {
      const int n = p.count < 1 ? 1 : (p.count > 1000 ? 1000 : p.count);
      return n * sample + kTransferSlackMs;
    }
    case Kind::download:
    case Kind::upload:
      return transfer;
    case Kind::run_all:
      return kFullRunPingSamples * sample + 2 * transfer;
    default:
      return kEntryCheckMs;
  }
}

bool one_of(const std::string &s, std::initializer_list<const char *> list) {
  for (const char *x : list) {
    if (s == x) return true;
  }
  return false;
}

// Judges one call by everything the library promises about it.
void judge(const Plan &p, double value, const std::string &error_before, const std::string &error,
           const std::string &doc_before, const std::string &doc_after, double elapsed_ms,
           bool cancel_possible, Tally &t) {
  char where[160];
  std::snprintf(where, sizeof where, "%s %s:%d (%s, count %d, %d ms)", kind_name(p.kind), p.host, p.port,
                target_name(p.target), p.count, p.duration_ms);
  auto fail = [&](const std::string &what) { g_violations.add(std::string(where) + ": " + what); };

  const double bound = bound_ms(p);
  if (elapsed_ms > bound)
    fail("returned after " + std::to_string(elapsed_ms) + " ms, bound " + std::to_string(bound));
  if (elapsed_ms / bound > t.worst_bound_use) t.worst_bound_use = elapsed_ms / bound;

  const rel::DocCheck doc = rel::check_result_doc(doc_after.c_str());
  if (!doc.ok) fail(doc.why);
  if (error.size() > 255) fail("last error longer than 255 characters");

  if (p.kind == Kind::bad_args) {
    if (value != -1.0) fail("bad arguments returned " + std::to_string(value));
    if (error != p.expected_error)
      fail("bad arguments gave \"" + error + "\", expected \"" + p.expected_error + "\"");
    if (doc_after != doc_before) fail("bad arguments changed the result document");
    t.messages[error]++;
    return;
  }

  const bool is_run = p.kind == Kind::run_all;
  const bool ok = is_run ? value == 0.0 : value >= 0.0;
  if (!ok && value != -1.0) fail("returned " + std::to_string(value) + ", neither a result nor -1");
  if (!std::isfinite(value)) fail("returned a value that is not finite");

  if (ok) {
    t.succeeded++;
    if (p.target == Target::refused || p.target == Target::unanswered) fail("succeeded against a dead port");
    // A success writes no message: the one from before stays, except that a full run empties it first.
    if (error != (is_run ? std::string() : error_before)) {
      fail("succeeded but the last error changed from \"" + error_before + "\" to \"" + error + "\"");
    }
    if (doc.phase != "complete") fail("succeeded with phase \"" + doc.phase + "\"");
    if (p.kind == Kind::ping) {
      if (doc.ping_ms != value)
        fail("returned " + std::to_string(value) + " but the document says " + std::to_string(doc.ping_ms));
      if (value > elapsed_ms) fail("mean RTT " + std::to_string(value) + " ms exceeds the call's own time");
    }
    if (p.kind == Kind::download && doc.download_mbps != value)
      fail("document download_mbps differs from the result");
    if (p.kind == Kind::upload && doc.upload_mbps != value)
      fail("document upload_mbps differs from the result");
    if (is_run && doc.duration_ms != p.duration_ms) fail("full run document duration_ms differs");
  } else {
    t.failed++;
    t.messages[error.empty() ? "(empty)" : error]++;
    // Which messages each situation may end with; "Cancelled by user" only after a cancel was fired.
    bool allowed = false;
    const std::string cancelled = "Cancelled by user";
    if (error == cancelled) {
      allowed = cancel_possible;
      if (!cancel_possible)
        fail("\"Cancelled by user\" although no cancel was fired since the flag was lowered");
    } else if (p.target == Target::refused) {
      allowed = error == rel::connect_failed_text(p.host, p.port);
    } else if (p.target == Target::faulty && error == rel::connect_failed_text(p.host, p.port)) {
      // A reset at once can reach the client before its non-blocking connect has been confirmed: the
      // attempt then completes with a pending error, which counts as a refusal.
      allowed = true;
    } else if (p.target == Target::unanswered) {
      allowed = error == rel::connect_timeout_text(p.host, p.port);
    } else if (p.target == Target::faulty) {
      switch (p.kind) {
        case Kind::ping:
          allowed = one_of(error, {"Ping timeout", "Ping send failed"});
          break;
        case Kind::download:
          allowed = one_of(error, {"Recv failed", "Send failed"});
          break;
        case Kind::upload:
          allowed = error == "Send failed";
          break;
        default:
          allowed = one_of(error, {"Ping timeout", "Ping send failed", "Recv failed", "Send failed"});
      }
    }
    if (!allowed && error != cancelled) fail("failed with \"" + error + "\"");
    if (doc_after != doc_before) {
      const char *label = p.kind == Kind::ping ? "ping" : p.kind == Kind::download ? "download" : "upload";
      if (doc.phase != "error" && (is_run || doc.phase != label))
        fail("failed with phase \"" + doc.phase + "\"");
    }
  }
  if (doc_after != doc_before && !doc.empty) {
    char key[300];
    std::snprintf(key, sizeof key, "%s:%d", p.host, p.port);
    if (doc.server != key) fail("document names server \"" + doc.server + "\"");
  }
  // The figures leave out the unanswered port, whose calls wait out the connection limit by design.
  const bool counted = p.target != Target::unanswered;
  const bool transfer = p.kind == Kind::download || p.kind == Kind::upload;
  if (counted && p.kind == Kind::ping) {
    const int n = p.count < 1 ? 1 : p.count;
    if (elapsed_ms / n > t.worst_ping_ms_per_sample) t.worst_ping_ms_per_sample = elapsed_ms / n;
  } else if (counted && transfer && elapsed_ms - p.duration_ms > t.worst_transfer_over_ms) {
    t.worst_transfer_over_ms = elapsed_ms - p.duration_ms;
  }
}

struct Options {
  double seconds = 60;
  uint64_t seed = 20261210;
};

Options parse_options(int argc, char **argv) {
  Options o;
  if (const char *s = std::getenv("KESTRUM_SOAK_SECONDS")) o.seconds = std::atof(s);
  if (const char *s = std::getenv("KESTRUM_SOAK_SEED")) o.seed = std::strtoull(s, nullptr, 10);
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--seconds") == 0) o.seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--seed") == 0) o.seed = std::strtoull(argv[i + 1], nullptr, 10);
  }
  if (!(o.seconds > 0)) o.seconds = 60;
  return o;
}

Plan draw_plan(std::mt19937_64 &rng, const rel::FaultServerProcess &server, bool unanswered_due) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  Plan p;
  const int k = pick(0, 99);
  p.kind = k < 48   ? Kind::ping
           : k < 68 ? Kind::download
           : k < 88 ? Kind::upload
           : k < 94 ? Kind::run_all
                    : Kind::bad_args;
  const int t = pick(0, 99);
  p.target = unanswered_due ? Target::unanswered
             : t < 70       ? Target::faulty
             : t < 92       ? Target::clean
                            : Target::refused;
  p.host = pick(0, 99) < 85 ? "127.0.0.1" : "localhost";
  switch (p.target) {
    case Target::faulty:
      p.port = server.faulty_port();
      break;
    case Target::clean:
      p.port = server.clean_port();
      break;
    case Target::refused:
      p.port = server.refused_port();
      break;
    case Target::unanswered:
      p.port = server.unanswered_port();
      // One sample, one stage: the point is the connection time limit, not 3 s times ten.
      if (p.kind == Kind::run_all || p.kind == Kind::bad_args) p.kind = Kind::download;
      break;
  }
  p.count = pick(0, 99) < 4 ? pick(-7, 0) : pick(1, 5);
  if (p.target == Target::unanswered) p.count = 1;
  p.duration_ms = p.kind == Kind::run_all ? pick(20, 60) : pick(20, 100);
  if (p.kind == Kind::bad_args) {
    const int b = pick(0, 5);
    const Kind calls[] = {Kind::ping, Kind::download, Kind::upload, Kind::run_all};
    p.count = static_cast<int>(calls[pick(0, 3)]);  // which export receives the bad arguments
    if (b < 2) {
      p.bad_host = b == 0 ? nullptr : "";
      p.expected_error = "Invalid host";
      p.duration_ms = pick(-5, 100);
    } else {
      p.bad_host = p.host;
      p.duration_ms = pick(-1000, 0);
      p.expected_error = "Invalid duration";
      if (static_cast<Kind>(p.count) == Kind::ping) p.bad_host = "";  // ping takes a count, not a duration
      if (p.bad_host[0] == '\0') p.expected_error = "Invalid host";
    }
  }
  return p;
}

double run_plan(const Plan &p) {
  switch (p.kind) {
    case Kind::ping:
      return kestrum_ping(p.host, p.port, p.count);
    case Kind::download:
      return kestrum_download(p.host, p.port, p.duration_ms);
    case Kind::upload:
      return kestrum_upload(p.host, p.port, p.duration_ms);
    case Kind::run_all:
      return kestrum_run_all(p.host, p.port, p.duration_ms);
    case Kind::bad_args:
      switch (static_cast<Kind>(p.count)) {
        case Kind::ping:
          return kestrum_ping(p.bad_host, p.port, 3);
        case Kind::download:
          return kestrum_download(p.bad_host, p.port, p.duration_ms);
        case Kind::upload:
          return kestrum_upload(p.bad_host, p.port, p.duration_ms);
        default:
          return kestrum_run_all(p.bad_host, p.port, p.duration_ms);
      }
    case Kind::none:
      break;
  }
  return -1.0;
}

}  // namespace

int main(int argc, char **argv) {
  const Options opt = parse_options(argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("soak: seed %llu, %.0f s (KESTRUM_SOAK_SEED / KESTRUM_SOAK_SECONDS, or --seed / --seconds)\n",
              static_cast<unsigned long long>(opt.seed), opt.seconds);

  // The server lives in a child process, forked before this process starts any thread.
  rel::FaultServerProcess server(opt.seed);
  if (!server.ok()) {
    std::printf("soak: cannot start the fault server\n");
    return 2;
  }

  kestrum_init();
  kestrum_set_tick(on_tick);
  std::thread canceller(cancel_loop, opt.seed + 1);
  std::thread watchdog(watchdog_loop);

  std::mt19937_64 rng(opt.seed);
  Tally tally;
  const auto begin = Clock::now();
  const auto end =
      begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(opt.seconds));
  const auto warm_until = begin + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(std::min(5.0, opt.seconds * 0.1)));
  bool warmed = false;
  int fds_before = 0, threads_before = 0;
  long rss_warm = 0;
  // A connection attempt that gets no answer costs 3 s, so only one every 30 s of soak.
  auto next_unanswered = begin + std::chrono::seconds(15);
  uint64_t finished_at_lower = g_cancels_finished.load();
  auto next_progress = begin + std::chrono::seconds(15);

  while (Clock::now() < end) {
    if (!warmed && Clock::now() >= warm_until) {
      // After the warm-up: the allocator, the thread stack cache and the payload have settled.
      std::this_thread::sleep_for(milliseconds(100));
      fds_before = rel::open_descriptors();
      threads_before = rel::thread_count();
      rss_warm = rel::resident_kib();
      warmed = true;
    }
    const bool unanswered_due = Clock::now() >= next_unanswered;
    if (unanswered_due) next_unanswered += std::chrono::seconds(30);
    const Plan p = draw_plan(rng, server, unanswered_due);

    // Most calls start with the flag lowered; the rest find a cancel from before still raised.
    const int pre = std::uniform_int_distribution<int>(0, 99)(rng);
    if (pre < 90) {
      const uint64_t snapshot = g_cancels_finished.load();
      if (pre < 2) {
        kestrum_cleanup();
        tally.restarts++;
      }
      kestrum_init();
      finished_at_lower = snapshot;
      tally.lowers++;
    }
    if (p.kind == Kind::run_all) finished_at_lower = g_cancels_finished.load();

    const std::string doc_before = kestrum_result_json();
    const std::string error_before = kestrum_last_error();
    g_call_bound_us = static_cast<int64_t>(bound_ms(p) * 1000);
    g_call = static_cast<int>(p.kind == Kind::bad_args ? Kind::none : p.kind);
    const int64_t t0 = clock_us();
    g_call_start_us = t0;
    const double value = run_plan(p);
    const double elapsed_ms = (clock_us() - t0) / 1000.0;
    g_call_start_us = 0;
    g_call = static_cast<int>(Kind::none);
    const bool cancel_possible = g_cancels_started.load() > finished_at_lower;

    tally.measurements++;
    tally.by_kind[kind_name(p.kind)]++;
    tally.by_target[target_name(p.target)]++;
    tally.seconds_by_kind[std::string(kind_name(p.kind)) + "/" + target_name(p.target)] += elapsed_ms / 1000;
    judge(p, value, error_before, kestrum_last_error(), doc_before, kestrum_result_json(), elapsed_ms,
          cancel_possible, tally);

    if (Clock::now() >= next_progress) {
      std::printf("soak: %.0f s, %llu measurements\n",
                  std::chrono::duration<double>(Clock::now() - begin).count(),
                  static_cast<unsigned long long>(tally.measurements));
      next_progress += std::chrono::seconds(15);
    }
  }
  const double ran_s = std::chrono::duration<double>(Clock::now() - begin).count();

  // Detached monitor threads end a moment after their transfer returned; descriptors close at once.
  const int threads_after = warmed ? rel::settle_threads(threads_before, 3000) : 0;
  const int fds_after = warmed ? rel::settle_descriptors(fds_before, 3000) : 0;
  const long rss_end = rel::resident_kib();
  g_stop = true;
  canceller.join();
  watchdog.join();
  kestrum_set_tick(nullptr);
  kestrum_cleanup();
  const FaultCounts faults = server.finish();

  if (warmed && threads_after != threads_before) {
    g_violations.add("threads: " + std::to_string(threads_before) + " after the warm-up, " +
                     std::to_string(threads_after) + " at the end");
  }
  if (warmed && fds_after != fds_before) {
    g_violations.add("descriptors: " + std::to_string(fds_before) + " after the warm-up, " +
                     std::to_string(fds_after) + " at the end");
  }
  const long rss_limit = rss_warm + std::max(kRssSlackKib, rss_warm / 20);
  if (warmed && !kSanitized && rss_end > rss_limit) {
    g_violations.add("memory grew from " + std::to_string(rss_warm) + " KiB to " + std::to_string(rss_end) +
                     " KiB");
  }

  auto join = [](const std::map<std::string, uint64_t> &m) {
    std::string s;
    for (const auto &kv : m) s += (s.empty() ? "" : ", ") + kv.first + " " + std::to_string(kv.second);
    return s;
  };
  std::printf("soak: %llu measurements in %.1f s (%s)\n", static_cast<unsigned long long>(tally.measurements),
              ran_s, join(tally.by_kind).c_str());
  std::printf("soak: targets: %s\n", join(tally.by_target).c_str());
  std::string spent;
  for (const auto &kv : tally.seconds_by_kind) {
    char item[96];
    std::snprintf(item, sizeof item, "%s%s %.1f s", spent.empty() ? "" : ", ", kv.first.c_str(), kv.second);
    spent += item;
  }
  std::printf("soak: time spent: %s\n", spent.c_str());
  std::printf("soak: %llu succeeded, %llu failed: %s\n", static_cast<unsigned long long>(tally.succeeded),
              static_cast<unsigned long long>(tally.failed), join(tally.messages).c_str());
  std::string fault_line;
  uint64_t faulty_total = 0;
  for (int i = 0; i < kFaultKinds; ++i) {
    faulty_total += faults.by_kind[i];
    fault_line += std::string(i ? ", " : "") + fault_name(static_cast<Fault>(i)) + " " +
                  std::to_string(faults.by_kind[i]);
  }
  std::printf("soak: server connections: %llu faulty (%s), %llu clean, %llu closed before a command\n",
              static_cast<unsigned long long>(faulty_total), fault_line.c_str(),
              static_cast<unsigned long long>(faults.clean),
              static_cast<unsigned long long>(faults.no_command));
  std::printf(
      "soak: cancels %llu from another thread, flag lowered by kestrum_init %llu times (%llu after "
      "kestrum_cleanup), callback swapped %llu times\n",
      static_cast<unsigned long long>(g_cancels_finished.load()),
      static_cast<unsigned long long>(tally.lowers), static_cast<unsigned long long>(tally.restarts),
      static_cast<unsigned long long>(g_swaps.load()));
  std::printf("soak: progress reports: ping %llu, download %llu, upload %llu, complete %llu\n",
              static_cast<unsigned long long>(g_reports[0].load()),
              static_cast<unsigned long long>(g_reports[1].load()),
              static_cast<unsigned long long>(g_reports[2].load()),
              static_cast<unsigned long long>(g_reports[3].load()));
  std::printf(
      "soak: slowest calls (unanswered port aside): ping %.0f ms per sample, transfer %.0f ms past its "
      "duration; at most %.0f%% of a bound used\n",
      tally.worst_ping_ms_per_sample, tally.worst_transfer_over_ms, tally.worst_bound_use * 100);
  std::printf("soak: descriptors %d before, %d after; threads %d before, %d after\n", fds_before, fds_after,
              threads_before, threads_after);
  std::printf("soak: RSS %ld KiB after the warm-up, %ld KiB at the end (%+ld KiB, limit %+ld KiB%s)\n",
              rss_warm, rss_end, rss_end - rss_warm, rss_limit - rss_warm,
              kSanitized ? ", not enforced under a sanitizer" : "");
  g_violations.print();
  const size_t n = g_violations.count();
  std::printf("soak: %s: %zu violations\n", n == 0 ? "PASS" : "FAIL", n);
  return n == 0 ? 0 : 1;
}
