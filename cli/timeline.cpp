#include "timeline.h"

#include <atomic>
#include <mutex>

#include "transport.h"

namespace {

std::atomic<double> g_start_us{0};  // on the kit's one monotonic clock, now_us()
std::mutex g_mutex;  // guards the traces: reports come from the monitor thread and the measuring thread
TransferTrace g_traces[2];

TransferTrace *trace_of(LoadPhase transfer) {
  if (transfer == LoadPhase::download) return &g_traces[0];
  if (transfer == LoadPhase::upload) return &g_traces[1];
  return nullptr;
}

}  // namespace

void timeline_begin() {
  const std::lock_guard<std::mutex> lock(g_mutex);
  g_start_us.store(now_us(), std::memory_order_relaxed);
  for (auto &t : g_traces) t = TransferTrace();
}

double timeline_now_s() { return (now_us() - g_start_us.load(std::memory_order_relaxed)) / 1e6; }

void timeline_transfer_begins(LoadPhase transfer) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  TransferTrace *t = trace_of(transfer);
  if (t == nullptr || t->started) return;
  t->started = true;
  t->start_s = timeline_now_s();
}

void timeline_report(LoadPhase transfer, double mbps, int percent) {
  const double now = timeline_now_s();
  const std::lock_guard<std::mutex> lock(g_mutex);
  TransferTrace *t = trace_of(transfer);
  if (t == nullptr) return;
  if (!t->started) {  // a report without a start seen: the transfer began by now at the latest
    t->started = true;
    t->start_s = now;
  }
  t->reports.push_back({now, mbps, percent});
  if (percent >= 100 && !t->ended) {
    t->ended = true;
    t->end_s = now;
  }
}

TransferTrace timeline_trace(LoadPhase transfer) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  const TransferTrace *t = trace_of(transfer);
  return t != nullptr ? *t : TransferTrace();
}
