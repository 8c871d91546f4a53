#include "interrupts.h"

#include <kestrum.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "exit_status.h"
#include "probe.h"
#include "term.h"

namespace {

// Interrupts seen so far. Written by the interrupt watcher under g_wait_mutex, so that a sleep between
// runs cannot miss the wake-up; read anywhere.
std::atomic<int> g_interrupts{0};
std::mutex g_wait_mutex;
std::condition_variable g_wait_cv;

// Raised by an interrupt: ends the pings that choose among several servers.
std::atomic<bool> g_probe_stop{false};

}  // namespace

bool interrupted() { return g_interrupts.load() > 0; }

const std::atomic<bool> *choice_ping_stop() { return &g_probe_stop; }

void on_interrupt(int count) {
  kestrum_cancel();
  g_probe_stop.store(true, std::memory_order_relaxed);
  prober_abort();
  {
    const std::lock_guard<std::mutex> lock(g_wait_mutex);
    g_interrupts.store(count);
  }
  g_wait_cv.notify_all();
  if (count >= 2) {
    // Asked twice: leave now, without waiting for the run to wind down. The system closes the sockets.
    // On a terminal a progress line may be open; the message goes below it.
    if (term_is_terminal(TermStream::err)) std::fputs("\n", stderr);
    std::fputs("kestrum: interrupted again, stopping at once\n", stderr);
    std::fflush(stderr);
    std::_Exit(kExitCancelled);
  }
}

bool sleep_unless_interrupted(double seconds) {
  std::unique_lock<std::mutex> lock(g_wait_mutex);
  return !g_wait_cv.wait_for(lock, std::chrono::duration<double>(seconds), [] { return interrupted(); });
}
