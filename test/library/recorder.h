// Records every progress report the library makes, with the thread it came from. The callback has no
// user-data argument, so the recorder is process-wide; each test runs in a process of its own.
#pragma once

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
  const char *text;  // the label pointer exactly as the library passed it
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
  static std::vector<Report> with_label(const std::string &label) {
    std::vector<Report> out;
    for (const Report &r : reports())
      if (r.label == label) out.push_back(r);
    return out;
  }

 private:
  static void callback(const char *label, double rate, int percent) {
    Report r{label, rate, percent, std::this_thread::get_id(), label};
    std::function<void(const Report &)> hook;
    {
      std::lock_guard<std::mutex> lock(mu());
      list().push_back(r);
      hook = hook_();
    }
    if (hook) hook(r);
  }
  static std::mutex &mu() {
    static std::mutex m;
    return m;
  }
  static std::vector<Report> &list() {
    static std::vector<Report> v;
    return v;
  }
  static std::function<void(const Report &)> &hook_() {
    static std::function<void(const Report &)> h;
    return h;
  }
};
