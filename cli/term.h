// What the command needs from the terminal and the operating system's interrupts, in one small interface.
// term_posix.cpp and term_win32.cpp are, with infile_*.cpp (infile.h), the only files of the command that
// know one platform from the other.
#pragma once

enum class TermStream { out, err };

// True when the stream is an interactive terminal (not a file, pipe or null device).
bool term_is_terminal(TermStream stream);

// True when escape sequences written to the stream will be understood (colour, erasing a line). On Windows
// this switches the console into virtual-terminal mode first; it fails on old consoles.
bool term_enable_escapes(TermStream stream);

// Called once per interrupt (Ctrl-C, Ctrl-Break, SIGINT, SIGTERM, closing the console) with the number of
// interrupts so far, 1 for the first. It runs on a thread of its own, never in a signal context, so it
// may lock a mutex; it must return quickly.
using TermInterruptHandler = void (*)(int count);

// Starts delivering interrupts to the handler instead of ending the process. Call it before any other
// thread exists: on POSIX, the threads started afterwards inherit a signal mask that keeps interrupts
// away from them, so no socket call of the library or the bundled server is cut short by one.
// Returns false when interrupts cannot be watched (the process then keeps the default behaviour).
bool term_watch_interrupts(TermInterruptHandler handler);

// Stops watching and joins the watcher. Interrupts that arrive afterwards stay pending until exit.
void term_unwatch_interrupts();
