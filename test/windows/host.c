/*
 * A Windows host as a front end would be one: it loads brimvale-kestrum.dll at run time with LoadLibrary,
 * finds the ten functions with GetProcAddress and measures through them. Plain C, so it also proves that
 * the public header is C for the cross compiler.
 *
 *   host run HOST PORT DURATION_MS   kestrum_run_all against a running server; checks the result document
 *   host refused                     kestrum_ping to a local port that refuses; checks message and time
 *
 * Prints what it found and exits 0 when every check held, 1 otherwise, 2 on a usage error.
 */
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kestrum.h"

typedef int (*init_fn)(void);
typedef int (*cleanup_fn)(void);
typedef void (*set_tick_fn)(TickCallback cb);
typedef void (*cancel_fn)(void);
typedef double (*measure_fn)(const char *host, int port, int value);
typedef int (*run_all_fn)(const char *host, int port, int duration_ms);
typedef const char *(*text_fn)(void);

static struct {
  init_fn init;
  cleanup_fn cleanup;
  set_tick_fn set_tick;
  cancel_fn cancel;
  measure_fn ping;
  measure_fn download;
  measure_fn upload;
  run_all_fn run_all;
  text_fn result_json;
  text_fn last_error;
} k;

static int g_failures;

static void check(int ok, const char *what) {
  printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  if (!ok) ++g_failures;
}

/* GetProcAddress hands back a generic FARPROC; going through memcpy keeps the conversion to a typed
   function pointer free of casts between unrelated function types. */
static int find(HMODULE dll, const char *name, void *slot) {
  FARPROC p = GetProcAddress(dll, name);
  if (p == NULL) {
    printf("FAILED: GetProcAddress(%s)\n", name);
    ++g_failures;
    return 0;
  }
  memcpy(slot, &p, sizeof p);
  return 1;
}

static HMODULE load_library(void) {
  HMODULE dll = LoadLibraryA("brimvale-kestrum.dll");
  if (dll == NULL) {
    printf("FAILED: LoadLibrary(brimvale-kestrum.dll), error %lu\n", (unsigned long)GetLastError());
    return NULL;
  }
  int all = find(dll, "kestrum_init", &k.init);
  all &= find(dll, "kestrum_cleanup", &k.cleanup);
  all &= find(dll, "kestrum_set_tick", &k.set_tick);
  all &= find(dll, "kestrum_cancel", &k.cancel);
  all &= find(dll, "kestrum_ping", &k.ping);
  all &= find(dll, "kestrum_download", &k.download);
  all &= find(dll, "kestrum_upload", &k.upload);
  all &= find(dll, "kestrum_run_all", &k.run_all);
  all &= find(dll, "kestrum_result_json", &k.result_json);
  all &= find(dll, "kestrum_last_error", &k.last_error);
  if (!all) {
    FreeLibrary(dll);
    return NULL;
  }
  return dll;
}

/* The number after "key": in the one-line result document; 0 when the member is missing. */
static int json_number(const char *doc, const char *key, double *out) {
  char pattern[64];
  snprintf(pattern, sizeof pattern, "\"%s\":", key);
  const char *at = strstr(doc, pattern);
  if (at == NULL) return 0;
  char *end = NULL;
  *out = strtod(at + strlen(pattern), &end);
  return end != at + strlen(pattern);
}

/* Progress reports arrive on the calling thread and on the library's monitor thread (CreateThread). */
static DWORD g_main_thread;
static volatile LONG g_ticks_ping;
static volatile LONG g_ticks_from_monitor;
static volatile LONG g_ticks_complete;

static void on_tick(const char *phase, double rate_mbps, int percent) {
  (void)rate_mbps;
  (void)percent;
  if (GetCurrentThreadId() != g_main_thread) InterlockedIncrement(&g_ticks_from_monitor);
  if (strcmp(phase, "ping") == 0) InterlockedIncrement(&g_ticks_ping);
  if (strcmp(phase, "complete") == 0) InterlockedIncrement(&g_ticks_complete);
}

static int run(const char *host, int port, int duration_ms) {
  g_main_thread = GetCurrentThreadId();
  check(k.init() == 0, "kestrum_init returns 0");
  k.set_tick(on_tick);
  const int rc = k.run_all(host, port, duration_ms);
  printf("kestrum_run_all: %d\nresult: %s\nlast error: %s\n", rc, k.result_json(), k.last_error());
  check(rc == 0, "kestrum_run_all returns 0");

  const char *doc = k.result_json();
  char server[300];
  snprintf(server, sizeof server, "\"server\":\"%s:%d\"", host, port);
  check(strstr(doc, server) != NULL, "the result names the server as host:port");
  check(strstr(doc, "\"phase\":\"complete\"") != NULL, "the result's phase is complete");
  double ping = 0, download = 0, upload = 0, duration = 0;
  check(json_number(doc, "ping_ms", &ping) && ping > 0.0, "ping_ms is above 0");
  check(json_number(doc, "download_mbps", &download) && download > 0.0, "download_mbps is above 0");
  check(json_number(doc, "upload_mbps", &upload) && upload > 0.0, "upload_mbps is above 0");
  check(json_number(doc, "duration_ms", &duration) && (int)duration == duration_ms,
        "duration_ms is the one asked for");
  check(g_ticks_ping == 10, "ten ping reports");
  check(g_ticks_from_monitor > 0, "periodic reports came from the monitor thread");
  check(g_ticks_complete == 1, "one complete report");
  k.set_tick(NULL);
  check(k.cleanup() == 0, "kestrum_cleanup returns 0");
  return g_failures == 0 ? 0 : 1;
}

/* A TCP socket bound to an ephemeral port on 127.0.0.1; its port in *port. */
static SOCKET bound_loopback(int *port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = (int)sizeof addr;
  if (s == INVALID_SOCKET || bind(s, (struct sockaddr *)&addr, len) != 0 ||
      getsockname(s, (struct sockaddr *)&addr, &len) != 0) {
    printf("FAILED: cannot bind a loopback port, error %d\n", WSAGetLastError());
    if (s != INVALID_SOCKET) closesocket(s);
    return INVALID_SOCKET;
  }
  *port = ntohs(addr.sin_port);
  return s;
}

/* One ping sample to a port that refuses: the walk ends at once with the connect-failed message. */
static void ping_refused(int port) {
  const ULONGLONG start = GetTickCount64();
  const double result = k.ping("127.0.0.1", port, 1);
  const ULONGLONG elapsed = GetTickCount64() - start;
  char expected[64];
  snprintf(expected, sizeof expected, "Connect failed to 127.0.0.1:%d", port);
  printf("kestrum_ping: %.1f after %lu ms, last error: %s\n", result, (unsigned long)elapsed, k.last_error());
  check(result == -1.0, "kestrum_ping returns -1.0");
  check(strcmp(k.last_error(), expected) == 0, "the refusal ends the walk with the connect-failed message");
  /* The connection limit is 3000 ms: a refusal that went unseen would run into it. */
  check(elapsed < 2500, "the refusal is noticed before the connection limit");
}

static int refused(void) {
  check(k.init() == 0, "kestrum_init returns 0");
  /* Bound, never listening, and held so that nothing else takes the port meanwhile. Winsock (Wine's as
     well) lets the non-blocking connect go on and then reports the refusal in select's exception set
     only: this is the wait that must notice it. */
  int port = 0;
  SOCKET holder = bound_loopback(&port);
  if (holder == INVALID_SOCKET) return 1;
  ping_refused(port);
  closesocket(holder);
  check(k.cleanup() == 0, "kestrum_cleanup returns 0");
  return g_failures == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  const int is_run = argc == 5 && strcmp(argv[1], "run") == 0;
  const int is_refused = argc == 2 && strcmp(argv[1], "refused") == 0;
  if (!is_run && !is_refused) {
    fprintf(stderr, "usage: host run HOST PORT DURATION_MS | host refused\n");
    return 2;
  }
  HMODULE dll = load_library();
  if (dll == NULL) return 1;
  const int rc = is_run ? run(argv[2], atoi(argv[3]), atoi(argv[4])) : refused();
  FreeLibrary(dll);
  return rc;
}
