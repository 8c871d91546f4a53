// What the library is allowed to say, and what the process holds. Shared by the soak, the callback-misuse
// tests and the hostile-load run, so every one of them judges the library by the same rules.
#pragma once

#include <cstddef>
#include <string>

namespace rel {

// The labels a progress report may carry, and the phases the result document may show.
bool is_report_label(const std::string &label);
bool is_document_phase(const std::string &phase);

// The two formatted messages exactly as the library must write them: "%s:%d" of the host text as given,
// cut at 255 characters like every last-error text.
std::string connect_failed_text(const char *host, int port);
std::string connect_timeout_text(const char *host, int port);

// True when text is one of the catalogue's fixed messages, or one of the two formatted ones for this host
// and port. The empty text is not a message; callers decide where it is allowed.
bool is_catalogue_message(const std::string &text, const char *host, int port);

// The result document: "{}", or one line of JSON with exactly the seven members in their order and their
// types, the numbers finite and not negative, the phase one of the labels. `why` says what is wrong.
struct DocCheck {
  bool ok = false;
  bool empty = false;  // the text was "{}"
  std::string why;
  std::string server;
  std::string phase;
  double ping_ms = 0, jitter_ms = 0, download_mbps = 0, upload_mbps = 0;
  long long duration_ms = 0;
};
DocCheck check_result_doc(const char *text);

// What this process holds right now (Linux: /proc/self). -1 where it cannot be read.
int open_descriptors();
int thread_count();
long resident_kib();
// The same for another process (the server under load).
long resident_kib_of(int pid);
int thread_count_of(int pid);

// Waits (bounded) until the thread count drops to at most `expected`; detached monitor threads release
// themselves a moment after their transfer has returned. Returns the last count seen.
int settle_threads(int expected, int max_wait_ms);
int settle_descriptors(int expected, int max_wait_ms);

}  // namespace rel
