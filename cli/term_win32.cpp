// Terminal and interrupts on Windows: the console's own handle checks and its control handler, which the
// system already runs on a thread of its own for every event.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

#include "term.h"

namespace {

TermInterruptHandler g_handler = nullptr;
std::atomic<int> g_count{0};

HANDLE stream_handle(TermStream stream) {
  return GetStdHandle(stream == TermStream::out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // closing, logoff: the default
  g_handler(g_count.fetch_add(1) + 1);
  return TRUE;
}

}  // namespace

// A console handle answers GetConsoleMode; a file, a pipe or NUL does not (NUL passes _isatty).
bool term_is_terminal(TermStream stream) {
  DWORD mode = 0;
  return GetConsoleMode(stream_handle(stream), &mode) != 0;
}

bool term_enable_escapes(TermStream stream) {
  const HANDLE h = stream_handle(stream);
  DWORD mode = 0;
  if (!GetConsoleMode(h, &mode)) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool term_watch_interrupts(TermInterruptHandler handler) {
  g_handler = handler;
  return SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}

void term_unwatch_interrupts() { SetConsoleCtrlHandler(on_console_event, FALSE); }
