/*
 * A Windows host as a C program built against the Windows zip alone would be one: it includes the zip's
 * kestrum.h and links an import library (the zip's, or one made from its .def), so the loader brings in
 * brimvale-kestrum.dll at start. It says which file the loader took, measures the latency to a running
 * server and prints the result document.
 *
 *   linked_host HOST PORT
 *
 * Prints "dll: PATH", "result: JSON" and a line per check; exits 0 when every check held, 1 otherwise,
 * 2 on a usage error. Plain C, with nothing from the source tree but this file.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kestrum.h>

static int g_failures;

static void check(int ok, const char *what) {
  printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  if (!ok) ++g_failures;
}

int main(int argc, char **argv) {
  setvbuf(stdout, NULL, _IONBF, 0);
  if (argc != 3) {
    fprintf(stderr, "usage: linked_host HOST PORT\n");
    return 2;
  }
  char path[MAX_PATH] = "";
  HMODULE dll = GetModuleHandleA("brimvale-kestrum.dll");
  check(dll != NULL, "the loader brought in brimvale-kestrum.dll");
  if (dll != NULL) GetModuleFileNameA(dll, path, sizeof path);
  printf("dll: %s\n", path);

  check(kestrum_init() == 0, "kestrum_init returns 0");
  const double ms = kestrum_ping(argv[1], atoi(argv[2]), 3);
  printf("kestrum_ping: %.3f ms%s%s\n", ms, ms < 0 ? ", last error: " : "", ms < 0 ? kestrum_last_error() : "");
  check(ms > 0.0, "kestrum_ping measures the server");
  const char *doc = kestrum_result_json();
  printf("result: %s\n", doc);
  check(strstr(doc, "\"ping_ms\":") != NULL, "the result document holds ping_ms");
  check(kestrum_cleanup() == 0, "kestrum_cleanup returns 0");
  return g_failures == 0 ? 0 : 1;
}
