#include "events.h"

#include <yyjson.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "report.h"
#include "timeline.h"

namespace {

// Held while one line is written, so that lines from different threads never interleave.
std::mutex g_write_mutex;
std::atomic<bool> g_write_failed{false};

// Milliseconds of the run's clock (timeline_begin), whole, as the stream gives them.
long long elapsed_ms() { return static_cast<long long>(timeline_now_s() * 1000); }

// Writes the object as one line and frees the document.
void emit(yyjson_mut_doc *doc) {
  size_t len = 0;
  char *text = yyjson_mut_write(doc, YYJSON_WRITE_NOFLAG, &len);
  yyjson_mut_doc_free(doc);
  if (text == nullptr) return;
  {
    const std::lock_guard<std::mutex> lock(g_write_mutex);
    const bool ok = std::fwrite(text, 1, len, stdout) == len && std::fputc('\n', stdout) != EOF &&
                    std::fflush(stdout) == 0;
    if (!ok) g_write_failed.store(true, std::memory_order_relaxed);
  }
  std::free(text);
}

yyjson_mut_val *new_event(yyjson_mut_doc *doc, const char *type) {
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_str(doc, root, "type", type);
  return root;
}

}  // namespace

void event_start(long long run, const std::string &timestamp, const std::string &server,
                 const std::string &host, const std::vector<std::string> &tests, int duration_ms, int count) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = new_event(doc, "start");
  yyjson_mut_obj_add_int(doc, root, "version", kResultVersion);
  yyjson_mut_obj_add_strcpy(doc, root, "timestamp", timestamp.c_str());
  yyjson_mut_obj_add_int(doc, root, "run", run);
  yyjson_mut_obj_add_strcpy(doc, root, "server", server.c_str());
  yyjson_mut_obj_add_strcpy(doc, root, "host", host.c_str());
  yyjson_mut_val *list = yyjson_mut_arr(doc);
  for (const auto &t : tests) yyjson_mut_arr_add_strcpy(doc, list, t.c_str());
  yyjson_mut_obj_add_val(doc, root, "tests", list);
  if (duration_ms > 0) yyjson_mut_obj_add_int(doc, root, "duration_ms", duration_ms);
  if (count > 0) yyjson_mut_obj_add_int(doc, root, "count", count);
  emit(doc);
}

void event_progress(const char *test, double mbps, int percent) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = new_event(doc, "progress");
  yyjson_mut_obj_add_strcpy(doc, root, "test", test);
  yyjson_mut_obj_add_real(doc, root, "mbps", mbps);
  yyjson_mut_obj_add_int(doc, root, "percent", percent);
  yyjson_mut_obj_add_int(doc, root, "elapsed_ms", elapsed_ms());
  emit(doc);
}

void event_latency(const char *test, const ProbeSample &probe) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = new_event(doc, "latency");
  yyjson_mut_obj_add_strcpy(doc, root, "test", test);
  if (probe.ms >= 0) {
    yyjson_mut_obj_add_real(doc, root, "ms", probe.ms);
    yyjson_mut_obj_add_real(doc, root, "connect_ms", probe.connect_ms);
    yyjson_mut_obj_add_real(doc, root, "reply_ms", probe.reply_ms);
  } else {
    yyjson_mut_obj_add_bool(doc, root, "lost", true);
  }
  yyjson_mut_obj_add_int(doc, root, "elapsed_ms", static_cast<long long>(probe.t_s * 1000));
  emit(doc);
}

void event_result(const std::string &result_json) {
  yyjson_doc *parsed = yyjson_read(result_json.data(), result_json.size(), 0);
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = new_event(doc, "result");
  // A copy of the parsed document writes the same numbers back: yyjson prints the shortest text that
  // reads back as the same double, which is what the library wrote in the first place.
  yyjson_mut_val *result =
      parsed != nullptr ? yyjson_val_mut_copy(doc, yyjson_doc_get_root(parsed)) : yyjson_mut_obj(doc);
  yyjson_mut_obj_add_val(doc, root, "result", result);
  yyjson_doc_free(parsed);
  emit(doc);
}

void event_error(const std::string &message) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = new_event(doc, "error");
  yyjson_mut_obj_add_strcpy(doc, root, "message", message.c_str());
  emit(doc);
}

bool events_ok() { return !g_write_failed.load(std::memory_order_relaxed); }
