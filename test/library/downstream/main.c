#include <stdio.h>
#include <string.h>

#include <kestrum.h>

int main(void) {
  if (kestrum_init() != 0) return 1;
  if (strcmp(kestrum_result_json(), "{}") != 0) return 2;
  kestrum_cleanup();
  puts("downstream ok");
  return 0;
}
