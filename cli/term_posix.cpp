// Terminal and interrupts on POSIX: isatty, and SIGINT/SIGTERM taken by sigwait on a watcher thread.
//
// Why a watcher thread rather than a signal handler: a handler runs on whichever thread the kernel picks,
// and there it cuts short the blocking call of that thread with EINTR (a connect wait of the library, an
// accept of the bundled server), which would turn a cancel into a misleading connection error. Blocking
// the signals in every thread and taking them with sigwait on one thread of our own avoids both that and
// the limits of async-signal safety.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "term.h"

namespace {

std::thread g_watcher;
std::atomic<bool> g_stopping{false};
TermInterruptHandler g_handler = nullptr;

sigset_t interrupt_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

void watch(sigset_t set) {
  int count = 0;
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    // term_unwatch_interrupts wakes us with a signal of the set; it is not the user's.
    if (g_stopping.load()) return;
    g_handler(++count);
  }
}

}  // namespace

bool term_is_terminal(TermStream stream) { return isatty(stream == TermStream::out ? 1 : 2) == 1; }

bool term_enable_escapes(TermStream stream) { return term_is_terminal(stream); }

bool term_watch_interrupts(TermInterruptHandler handler) {
  // A send to a peer that has gone must fail with EPIPE, not end the process: the library asks for that
  // on its own sockets, but the bundled server runs in this process too.
  signal(SIGPIPE, SIG_IGN);

  const sigset_t set = interrupt_signals();
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  g_handler = handler;
  try {
    g_watcher = std::thread(watch, set);
  } catch (const std::system_error &) {
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);  // nobody would take them: keep the default behaviour
    return false;
  }
  return true;
}

void term_unwatch_interrupts() {
  if (!g_watcher.joinable()) return;
  g_stopping.store(true);
  pthread_kill(g_watcher.native_handle(), SIGTERM);
  g_watcher.join();
}
