// What an interrupt (term.h) does to the command: the first ends what is being measured as soon as it
// can, the second ends the process at once. The rest of the command asks here whether one came.
#pragma once

#include <atomic>

// The handler for term_watch_interrupts: cancels the library's run, stops the pings that choose among
// several servers and the prober's probe in flight, and ends a wait between runs. A second interrupt
// leaves at once with kExitCancelled.
void on_interrupt(int count);

// Whether an interrupt has come. Any thread.
bool interrupted();

// Waits between two runs; false when an interrupt ended the wait.
bool sleep_unless_interrupted(double seconds);

// Raised by an interrupt: the stop flag of the pings that choose among several servers (probe_once).
const std::atomic<bool> *choice_ping_stop();
