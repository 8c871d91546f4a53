// Records every progress report the library makes, with the thread it came from. The callback has no
// user-data argument, so the recorder is process-wide; each test runs in a process of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kestrum.h"

struct Report {
  std::string label;
  double rate;
  int percent;
  std::thread::id thread;
  const char *text;                          // the label pointer exactly as the library passed it
  std::chrono::steady_clock::time_point at;  // when it entered the callback, before any hook
  int thread_serial;  // the calling thread, numbered by first report: unlike a thread id, never reused
};

class Recorder {
 public:
  // Registers the recorder as the library's callback; `hook` (optional) runs after each report is stored.
  static void install(std::function<void(const Report &)> hook = nullptr) {
    {
      std::lock_guard<std::mutex> lock(mu());
      hook_() = std::move(hook);
    }
    kestrum_set_tick(&Recorder::callback);
  }
  static std::vector<Report> reports() {
    std::lock_guard<std::mutex> lock(mu());
    return list();
  }
  // Waits (bounded) until no report is inside the callback. A monitor thread the library has let go of is
  // never joined, so this is what orders its last use of the hook before the test's end.
  static bool wait_idle(int max_wait_ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_wait_ms);
    while (in_flight().load(std::memory_order_acquire) != 0) {
      if (std::chrono::steady_clock::now() >= until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  // Forgets the reports so far (of a run the test does again).
  static void clear() {
    std::lock_guard<std::mutex> lock(mu());
    list().clear();
  }
  static std::vector<Report> with_label(const std::string &label) {
    std::vector<Report> out;
    for (const Report &r : reports())
      if (r.label == label) out.push_back(r);
    return out;
  }

 private:
  static void callback(const char *label, double rate, int percent) {
    in_flight().fetch_add(1);
    static std::atomic<int> threads_seen{0};
    thread_local const int serial = threads_seen.fetch_add(1);
    Report r{label, rate, percent, std::this_thread::get_id(), label, std::chrono::steady_clock::now(),
             serial};
    std::function<void(const Report &)> hook;
    {
      std::lock_guard<std::mutex> lock(mu());
      list().push_back(r);
      hook = hook_();
    }
    if (hook) hook(r);
    in_flight().fetch_sub(1, std::memory_order_release);
  }
  static std::mutex &mu() {
    static std::mutex m;
    return m;
  }
  static std::vector<Report> &list() {
    static std::vector<Report> v;
    return v;
  }
  static std::atomic<int> &in_flight() {
    static std::atomic<int> n{0};
    return n;
  }
  static std::function<void(const Report &)> &hook_() {
    static std::function<void(const Report &)> h;
    return h;
  }
};
