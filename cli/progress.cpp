#include "progress.h"

#include "report.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

constexpr int kBarCells = 30;

// Reports come from two threads (the library's monitor for the periodic ticks, the measuring thread for
// the rest), and the library promises no more than that they do not overlap while each returns within
// 500 ms. The mutex makes the drawing safe regardless; it is held only while one line is formatted and
// written, and nothing is called under it that could wait for the other thread.
std::mutex g_draw_mutex;
bool g_active = false;
bool g_colour = false;
bool g_compact = false;
std::string g_prefix;
std::string g_open_phase;  // the phase whose line is on screen and not yet finished; empty: none
size_t g_open_width = 0;   // visible characters of that line, for erasing it

const char *display_label(const char *phase) {
  if (std::strcmp(phase, "ping") == 0) return "Ping";
  if (std::strcmp(phase, "download") == 0) return "Download";
  if (std::strcmp(phase, "upload") == 0) return "Upload";
  return phase;
}

void write_err(const std::string &text) {
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
}

// Finishes the open line: a newline keeps it; compact mode overwrites it with spaces instead.
void close_line() {
  if (g_open_phase.empty()) return;
  if (g_compact) {
    write_err("\r" + std::string(g_open_width, ' ') + "\r");
  } else {
    write_err("\n");
  }
  g_open_phase.clear();
  g_open_width = 0;
}

// The line of one report. Every field has a fixed width, so a redraw covers the one before it exactly.
std::string render(const char *phase, double rate_mbps, int percent, size_t *visible) {
  const int filled = percent * kBarCells / 100;
  const char *bold = g_colour ? "\x1b[1m" : "";
  const char *green = g_colour ? "\x1b[32m" : "";
  const char *cyan = g_colour ? "\x1b[36m" : "";
  const char *reset = g_colour ? "\x1b[0m" : "";

  char label[32];
  std::snprintf(label, sizeof label, "%-9s", display_label(phase));
  char share[8];
  std::snprintf(share, sizeof share, "%3d%%", percent);
  char rate[32];
  if (std::strcmp(phase, "ping") == 0) {
    std::snprintf(rate, sizeof rate, "%17s", "");  // no rate while pinging; the latency is in the summary
  } else {
    std::snprintf(rate, sizeof rate, "%17s", rate_text(rate_mbps).c_str());
  }
  const std::string bar_on(static_cast<size_t>(filled), '#');
  const std::string bar_off(static_cast<size_t>(kBarCells - filled), '-');

  *visible =
      g_prefix.size() + std::strlen(label) + 2 + kBarCells + 2 + std::strlen(share) + 1 + std::strlen(rate);
  std::string line = g_prefix + bold + label + reset + " [";
  line += filled > 0 ? green + bar_on + reset : bar_on;
  line += bar_off + "] " + share + " ";
  line += rate_mbps > 0 ? cyan + std::string(rate) + reset : std::string(rate);
  return line;
}

}  // namespace

void progress_begin(bool colour, bool compact, const std::string &prefix) {
  const std::lock_guard<std::mutex> lock(g_draw_mutex);
  g_active = true;
  g_colour = colour;
  g_compact = compact;
  g_prefix = prefix;
  g_open_phase.clear();
  g_open_width = 0;
}

void progress_report(const char *phase, double rate_mbps, int percent) {
  const std::lock_guard<std::mutex> lock(g_draw_mutex);
  if (!g_active || phase == nullptr) return;
  if (std::strcmp(phase, "complete") == 0) {
    if (!g_compact) close_line();
    return;
  }
  // A new test starts on a line of its own; in compact mode it takes over the one line.
  if (!g_compact && !g_open_phase.empty() && g_open_phase != phase) close_line();
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;

  size_t visible = 0;
  const std::string line = render(phase, rate_mbps, percent, &visible);
  // Compact mode: a shorter line (ping after a transfer) must not leave the end of the longer one.
  const size_t pad = g_open_width > visible ? g_open_width - visible : 0;
  write_err("\r" + line + std::string(pad, ' '));
  g_open_phase = phase;
  if (visible > g_open_width) g_open_width = visible;
}

void progress_end() {
  const std::lock_guard<std::mutex> lock(g_draw_mutex);
  if (g_active) close_line();
  g_active = false;
}
