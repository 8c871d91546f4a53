// Reads the library's result document with yyjson, so every check also proves that it is valid JSON.
#pragma once

#include <yyjson.h>

#include <string>
#include <utility>
#include <vector>

struct ResultDoc {
  bool valid = false;
  std::vector<std::string> keys;  // in document order
  std::string server, phase;
  double ping_ms = -1, jitter_ms = -1, download_mbps = -1, upload_mbps = -1;
  long long duration_ms = -1;
};

inline ResultDoc parse_result(const char *text) {
  ResultDoc d;
  yyjson_doc *doc = yyjson_read(text, std::char_traits<char>::length(text), 0);
  if (doc == nullptr) return d;
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (yyjson_is_obj(root)) {
    d.valid = true;
    yyjson_val *key;
    yyjson_obj_iter it = yyjson_obj_iter_with(root);
    while ((key = yyjson_obj_iter_next(&it)) != nullptr) {
      const std::string k = yyjson_get_str(key);
      yyjson_val *v = yyjson_obj_iter_get_val(key);
      d.keys.push_back(k);
      if (k == "server") d.server = yyjson_get_str(v) ? yyjson_get_str(v) : "";
      if (k == "phase") d.phase = yyjson_get_str(v) ? yyjson_get_str(v) : "";
      if (k == "ping_ms") d.ping_ms = yyjson_get_real(v);
      if (k == "jitter_ms") d.jitter_ms = yyjson_get_real(v);
      if (k == "download_mbps") d.download_mbps = yyjson_get_real(v);
      if (k == "upload_mbps") d.upload_mbps = yyjson_get_real(v);
      if (k == "duration_ms") d.duration_ms = yyjson_get_sint(v);
    }
  }
  yyjson_doc_free(doc);
  return d;
}

inline const std::vector<std::string> &result_keys() {
  static const std::vector<std::string> keys{"server",      "ping_ms",     "jitter_ms", "download_mbps",
                                             "upload_mbps", "duration_ms", "phase"};
  return keys;
}
