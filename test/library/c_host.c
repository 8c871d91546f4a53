/* A C host: the header compiles as C, and the library links and answers before any test. */
#include <stdio.h>
#include <string.h>

#include "kestrum.h"

static int ticks;
static void on_tick(const char *phase, double rate_mbps, int percent) {
  (void)phase;
  (void)rate_mbps;
  (void)percent;
  ++ticks;
}

int main(void) {
  TickCallback cb = on_tick;
  if (kestrum_init() != 0) return 1;
  kestrum_set_tick(cb);
  if (strcmp(kestrum_result_json(), "{}") != 0) return 2;
  if (kestrum_download("", 1, 100) != -1.0 || strcmp(kestrum_last_error(), "Invalid host") != 0) return 3;
  kestrum_cancel();
  if (kestrum_upload("127.0.0.1", 1, 100) != -1.0 || strcmp(kestrum_last_error(), "Cancelled by user") != 0)
    return 4;
  if (ticks != 0) return 5;
  kestrum_cleanup();
  puts("c host ok");
  return 0;
}
