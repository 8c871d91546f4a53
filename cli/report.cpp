#include "report.h"

#include <yyjson.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

double member_number(yyjson_val *root, const char *key) {
  yyjson_val *v = yyjson_obj_get(root, key);
  return yyjson_is_num(v) ? yyjson_get_num(v) : 0.0;
}

bool shows_ping(TestSelection only) { return only == TestSelection::all || only == TestSelection::ping; }
bool shows_download(TestSelection only) {
  return only == TestSelection::all || only == TestSelection::download;
}
bool shows_upload(TestSelection only) { return only == TestSelection::all || only == TestSelection::upload; }

}  // namespace

bool read_figures(const char *json, Figures *figures) {
  yyjson_doc *doc = yyjson_read(json, std::strlen(json), 0);
  yyjson_val *root = yyjson_doc_get_root(doc);
  const bool ok = yyjson_is_obj(root);
  if (ok) {
    const char *server = yyjson_get_str(yyjson_obj_get(root, "server"));
    figures->server = server != nullptr ? server : "";
    figures->ping_ms = member_number(root, "ping_ms");
    figures->jitter_ms = member_number(root, "jitter_ms");
    figures->download_mbps = member_number(root, "download_mbps");
    figures->upload_mbps = member_number(root, "upload_mbps");
  }
  yyjson_doc_free(doc);
  return ok;
}

void print_summary(const Figures &f, TestSelection only, bool colour) {
  const char *bold = colour ? "\x1b[1m" : "";
  const char *reset = colour ? "\x1b[0m" : "";
  std::printf("Server     %s\n", f.server.c_str());
  if (shows_ping(only)) {
    std::printf("Latency    %s%.2f%s ms\n", bold, f.ping_ms, reset);
    std::printf("Jitter     %s%.2f%s ms\n", bold, f.jitter_ms, reset);
  }
  if (shows_download(only)) std::printf("Download   %s%.2f%s Mbit/s\n", bold, f.download_mbps, reset);
  if (shows_upload(only)) std::printf("Upload     %s%.2f%s Mbit/s\n", bold, f.upload_mbps, reset);
  std::fflush(stdout);
}

void print_summary_line(const Figures &f, TestSelection only, long long run) {
  char when[32] = "";
  const std::time_t now = std::time(nullptr);
  const std::tm *local = std::localtime(&now);  // only the main thread asks for the time
  if (local != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", local);

  std::printf("%s  run %lld  %s", when, run, f.server.c_str());
  if (shows_ping(only)) std::printf("  latency %.2f ms  jitter %.2f ms", f.ping_ms, f.jitter_ms);
  if (shows_download(only)) std::printf("  download %.2f Mbit/s", f.download_mbps);
  if (shows_upload(only)) std::printf("  upload %.2f Mbit/s", f.upload_mbps);
  std::printf("\n");
  std::fflush(stdout);
}
