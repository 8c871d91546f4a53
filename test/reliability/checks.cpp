#include "checks.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <yyjson.h>

namespace rel {

namespace {

const char *const kFixedMessages[] = {
    "Invalid host", "Invalid duration", "Cancelled by user", "WSAStartup failed", "DNS resolution failed",
    "Send failed",  "Recv failed",      "Ping timeout",      "Ping send failed",
};

const char *const kMembers[] = {"server",      "ping_ms",     "jitter_ms", "download_mbps",
                                "upload_mbps", "duration_ms", "phase"};

int count_entries(const char *dir) {
  DIR *d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (const dirent *e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}

long status_field_kib(const std::string &path, const char *field) {
  std::ifstream in(path);
  std::string line;
  const size_t len = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, len, field) == 0) return std::strtol(line.c_str() + len, nullptr, 10);
  }
  return -1;
}

}  // namespace

bool is_report_label(const std::string &label) {
  return label == "ping" || label == "download" || label == "upload" || label == "complete";
}

bool is_document_phase(const std::string &phase) {
  // "idle" is never rendered: every reset is followed by the caller's own phase change.
  return phase == "ping" || phase == "download" || phase == "upload" || phase == "complete" ||
         phase == "error";
}

// Formatted into 256 bytes, like every last-error text, so a long host is cut the same way.
std::string connect_failed_text(const char *host, int port) {
  char msg[256];
  std::snprintf(msg, sizeof msg, "Connect failed to %s:%d", host, port);
  return msg;
}

std::string connect_timeout_text(const char *host, int port) {
  char msg[256];
  std::snprintf(msg, sizeof msg, "Connect timeout after 3000 ms to %s:%d", host, port);
  return msg;
}

bool is_catalogue_message(const std::string &text, const char *host, int port) {
  for (const char *m : kFixedMessages) {
    if (text == m) return true;
  }
  return text == connect_failed_text(host, port) || text == connect_timeout_text(host, port);
}

DocCheck check_result_doc(const char *text) {
  DocCheck c;
  if (text == nullptr) {
    c.why = "null result text";
    return c;
  }
  const size_t len = std::strlen(text);
  if (len >= 1024) {
    c.why = "result text longer than its 1024-byte buffer";
    return c;
  }
  if (std::strcmp(text, "{}") == 0) {
    c.ok = c.empty = true;
    return c;
  }
  if (std::memchr(text, '\n', len) != nullptr) {
    c.why = "result text is not one line";
    return c;
  }
  yyjson_doc *doc = yyjson_read(text, len, 0);
  if (doc == nullptr) {
    c.why = "result text is not JSON: " + std::string(text);
    return c;
  }
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (!yyjson_is_obj(root) || yyjson_obj_size(root) != 7) {
    c.why = "result is not an object of seven members: " + std::string(text);
    yyjson_doc_free(doc);
    return c;
  }
  yyjson_obj_iter it = yyjson_obj_iter_with(root);
  size_t i = 0;
  std::string bad;
  while (yyjson_val *key = yyjson_obj_iter_next(&it)) {
    yyjson_val *v = yyjson_obj_iter_get_val(key);
    const std::string k = yyjson_get_str(key);
    if (k != kMembers[i]) {
      bad = "member " + std::to_string(i) + " is \"" + k + "\", expected \"" + kMembers[i] + "\"";
      break;
    }
    if (k == "server" || k == "phase") {
      if (!yyjson_is_str(v))
        bad = k + " is not a string";
      else
        (k == "server" ? c.server : c.phase) = std::string(yyjson_get_str(v), yyjson_get_len(v));
    } else if (k == "duration_ms") {
      if (!yyjson_is_int(v))
        bad = "duration_ms is not an integer";
      else
        c.duration_ms = yyjson_get_sint(v);
    } else {
      const double x = yyjson_get_real(v);
      if (!yyjson_is_real(v))
        bad = k + " is not a real";
      else if (!std::isfinite(x) || x < 0)
        bad = k + " is negative or not finite";
      double *slot[] = {&c.ping_ms, &c.jitter_ms, &c.download_mbps, &c.upload_mbps};
      *slot[i - 1] = x;
    }
    if (!bad.empty()) break;
    ++i;
  }
  yyjson_doc_free(doc);
  if (bad.empty() && !is_document_phase(c.phase)) bad = "phase \"" + c.phase + "\" is not a label";
  if (bad.empty() && c.server.empty()) bad = "server is empty";
  if (!bad.empty()) {
    c.why = bad + ": " + text;
    return c;
  }
  c.ok = true;
  return c;
}

int open_descriptors() { return count_entries("/proc/self/fd") - 1; }  // less the one opendir holds

int thread_count() { return count_entries("/proc/self/task"); }

long resident_kib() { return status_field_kib("/proc/self/status", "VmRSS:"); }

long resident_kib_of(int pid) {
  return status_field_kib("/proc/" + std::to_string(pid) + "/status", "VmRSS:");
}

int thread_count_of(int pid) { return count_entries(("/proc/" + std::to_string(pid) + "/task").c_str()); }

int settle_threads(int expected, int max_wait_ms) {
  int n = thread_count();
  for (int waited = 0; n > expected && waited < max_wait_ms; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = thread_count();
  }
  return n;
}

int settle_descriptors(int expected, int max_wait_ms) {
  int n = open_descriptors();
  for (int waited = 0; n > expected && waited < max_wait_ms; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    n = open_descriptors();
  }
  return n;
}

}  // namespace rel
