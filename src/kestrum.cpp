// The library frame: the exported functions, their entry checks, the state record and its JSON document.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <yyjson.h>

#include "kestrum_internal.h"
#include "platform.h"
#include "tests.h"

namespace {

struct TestState {
  char server[256];  // "%s:%d" of host and port; the key the results belong to
  double ping_ms;
  double jitter_ms;
  double download_mbps;
  double upload_mbps;
  int32_t duration_ms;
  char phase[32];
};

TestState g_state;
int g_state_init;
char g_result_buf[1024] = "{}";
char g_last_error[256];
std::atomic<bool> g_cancel_flag{false};
int g_inited;
std::atomic<TickCallback> g_tick_cb{nullptr};

}  // namespace

// --- operations offered to the rest of the library ------------------------------------------------------

void state_reset(const char *host, int port, int duration_ms) {
  char key[256];
  std::snprintf(key, sizeof key, "%s:%d", host, port);
  if (g_state_init && std::strcmp(g_state.server, key) == 0) {
    if (duration_ms != 0) g_state.duration_ms = duration_ms;
    return;
  }
  std::memset(&g_state, 0, sizeof g_state);
  std::snprintf(g_state.server, sizeof g_state.server, "%s", key);
  g_state.duration_ms = duration_ms;
  std::snprintf(g_state.phase, sizeof g_state.phase, "%s", kPhaseIdle);
  g_state_init = 1;
}

void build_result_json() {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  if (doc == nullptr) return;
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  // The results of the add calls are not examined: a member that could not be added is missing, and the
  // following members are still added.
  yyjson_mut_obj_add_strcpy(doc, root, "server", g_state.server);
  yyjson_mut_obj_add_real(doc, root, "ping_ms", g_state.ping_ms);
  yyjson_mut_obj_add_real(doc, root, "jitter_ms", g_state.jitter_ms);
  yyjson_mut_obj_add_real(doc, root, "download_mbps", g_state.download_mbps);
  yyjson_mut_obj_add_real(doc, root, "upload_mbps", g_state.upload_mbps);
  yyjson_mut_obj_add_int(doc, root, "duration_ms", static_cast<int64_t>(g_state.duration_ms));
  yyjson_mut_obj_add_strcpy(doc, root, "phase", g_state.phase);

  size_t len = 0;
  char *text = yyjson_mut_write(doc, YYJSON_WRITE_NOFLAG, &len);
  // A document cut to fit the buffer would not be JSON; one that does not fit counts as a failed write.
  if (text != nullptr && len < sizeof g_result_buf) {
    std::snprintf(g_result_buf, sizeof g_result_buf, "%s", text);
  } else {
    std::snprintf(g_result_buf, sizeof g_result_buf, "{}");
  }
  std::free(text);
  yyjson_mut_doc_free(doc);
}

void set_phase(const char *label) {
  std::snprintf(g_state.phase, sizeof g_state.phase, "%s", label);
  build_result_json();
}

void state_set_ping(double ping_ms, double jitter_ms) {
  g_state.ping_ms = ping_ms;
  g_state.jitter_ms = jitter_ms;
}
void state_set_download(double mbps) { g_state.download_mbps = mbps; }
void state_set_upload(double mbps) { g_state.upload_mbps = mbps; }

void set_last_error(const char *text) { std::snprintf(g_last_error, sizeof g_last_error, "%s", text); }
void clear_last_error() { g_last_error[0] = '\0'; }

bool cancel_requested() { return g_cancel_flag.load(std::memory_order_relaxed); }
void cancel_clear() { g_cancel_flag.store(false, std::memory_order_relaxed); }
const std::atomic<bool> *cancel_flag() { return &g_cancel_flag; }

TickCallback tick_callback() { return g_tick_cb.load(std::memory_order_relaxed); }

void report_progress(const char *label, double rate_mbps, int percent) {
  TickCallback cb = tick_callback();
  if (cb != nullptr) cb(label, rate_mbps, percent);
}

// --- exports ---------------------------------------------------------------------------------------------

static bool host_missing(const char *host) { return host == nullptr || host[0] == '\0'; }

extern "C" {

KESTRUM_API int kestrum_init(void) {
  if (!g_inited) {
    if (net_startup() != 0) {
      set_last_error(kErrStartup);
      return -1;
    }
    g_inited = 1;
  }
  cancel_clear();
  clear_last_error();
  return 0;
}

KESTRUM_API int kestrum_cleanup(void) {
  if (!g_inited) return 0;
  g_inited = 0;
  return net_shutdown();
}

KESTRUM_API void kestrum_set_tick(TickCallback cb) { g_tick_cb.store(cb, std::memory_order_relaxed); }

KESTRUM_API void kestrum_cancel(void) { g_cancel_flag.store(true, std::memory_order_relaxed); }

KESTRUM_API double kestrum_ping(const char *host, int port, int count) {
  if (host_missing(host)) {
    set_last_error(kErrInvalidHost);
    return -1.0;
  }
  return ping_test(host, port, count);
}

// Argument checks of the timed calls, in their order: host, then duration.
static bool arguments_ok(const char *host, int duration_ms) {
  if (host_missing(host)) {
    set_last_error(kErrInvalidHost);
    return false;
  }
  if (duration_ms <= 0) {
    set_last_error(kErrInvalidDuration);
    return false;
  }
  return true;
}

// Entry checks of download and upload: the arguments, then the cancel flag.
static bool transfer_entry_ok(const char *host, int duration_ms) {
  if (!arguments_ok(host, duration_ms)) return false;
  if (cancel_requested()) {
    set_last_error(kErrCancelled);
    return false;
  }
  return true;
}

KESTRUM_API double kestrum_download(const char *host, int port, int duration_ms) {
  if (!transfer_entry_ok(host, duration_ms)) return -1.0;
  return transfer_test(host, port, duration_ms, Direction::download);
}

KESTRUM_API double kestrum_upload(const char *host, int port, int duration_ms) {
  if (!transfer_entry_ok(host, duration_ms)) return -1.0;
  return transfer_test(host, port, duration_ms, Direction::upload);
}

KESTRUM_API int kestrum_run_all(const char *host, int port, int duration_ms) {
  if (!arguments_ok(host, duration_ms)) return -1;
  cancel_clear();
  const bool cancelled = cancel_requested();
  clear_last_error();
  if (cancelled) {  // another thread cancelled between the two steps above
    set_last_error(kErrCancelled);
    return -1;
  }
  return full_run(host, port, duration_ms);
}

KESTRUM_API const char *kestrum_result_json(void) { return g_result_buf; }

KESTRUM_API const char *kestrum_last_error(void) { return g_last_error; }

}  // extern "C"
