#include "state.h"

#include <yyjson.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "file_lock.h"
#include "file_replace.h"

namespace {

constexpr long long kStateFormat = 1;  // raised on any change an older kestrum would misread
constexpr const char *kSetAsideSuffix = ".corrupt";

yyjson_mut_val *record_json(yyjson_mut_doc *doc, const ServerRecord &r) {
  yyjson_mut_val *obj = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_strncpy(doc, obj, "server", r.server.data(), r.server.size());
  yyjson_mut_obj_add_uint(doc, obj, "runs_ok", static_cast<uint64_t>(r.runs_ok));
  yyjson_mut_obj_add_uint(doc, obj, "runs_failed", static_cast<uint64_t>(r.runs_failed));
  yyjson_mut_obj_add_real(doc, obj, "last_run_timestamp_seconds", r.last_run_timestamp_seconds);
  yyjson_mut_obj_add_bool(doc, obj, "last_run_success", r.last_run_success);
  yyjson_mut_obj_add_real(doc, obj, "last_success_timestamp_seconds", r.last_success_timestamp_seconds);
  yyjson_mut_val *figures = yyjson_mut_obj(doc);
  for (int i = 0; i < kFigureCount; ++i) {
    if (r.figures[i].known) yyjson_mut_obj_add_real(doc, figures, kFigureSpecs[i].key, r.figures[i].value);
  }
  yyjson_mut_obj_add_val(doc, obj, "figures", figures);
  return obj;
}

bool fail(std::string *why, const std::string &text) {
  *why = text;
  return false;
}

// A number that may stand in the state: finite and not below zero (every figure and time is).
bool read_amount(yyjson_val *v, double *out, bool may_be_negative = false) {
  if (!yyjson_is_num(v)) return false;
  const double d = yyjson_get_num(v);
  if (!std::isfinite(d) || (d < 0 && !may_be_negative)) return false;
  *out = d;
  return true;
}

bool read_count(yyjson_val *v, long long *out) {
  // Counts stay below 2^53, so that they read back exactly as Prometheus' float samples too.
  if (!yyjson_is_uint(v) || yyjson_get_uint(v) > (uint64_t{1} << 53)) return false;
  *out = static_cast<long long>(yyjson_get_uint(v));
  return true;
}

bool read_record(yyjson_val *obj, ServerRecord *r, std::string *why) {
  if (!yyjson_is_obj(obj)) return fail(why, "a server's entry is not an object");
  yyjson_val *server = yyjson_obj_get(obj, "server");
  if (!yyjson_is_str(server) || yyjson_get_len(server) == 0) return fail(why, "a server without its name");
  r->server.assign(yyjson_get_str(server), yyjson_get_len(server));
  yyjson_val *success = yyjson_obj_get(obj, "last_run_success");
  if (!read_count(yyjson_obj_get(obj, "runs_ok"), &r->runs_ok) ||
      !read_count(yyjson_obj_get(obj, "runs_failed"), &r->runs_failed) ||
      !read_amount(yyjson_obj_get(obj, "last_run_timestamp_seconds"), &r->last_run_timestamp_seconds) ||
      !read_amount(yyjson_obj_get(obj, "last_success_timestamp_seconds"),
                   &r->last_success_timestamp_seconds) ||
      !yyjson_is_bool(success)) {
    return fail(why, r->server + ": a count, time or outcome is missing or out of range");
  }
  r->last_run_success = yyjson_get_bool(success);
  yyjson_val *figures = yyjson_obj_get(obj, "figures");
  if (!yyjson_is_obj(figures)) return fail(why, r->server + ": no figures");
  // A figure this version does not know (a later version's) is left out, not taken for damage.
  for (int i = 0; i < kFigureCount; ++i) {
    yyjson_val *v = yyjson_obj_get(figures, kFigureSpecs[i].key);
    if (v == nullptr) continue;
    if (!read_amount(v, &r->figures[i].value, kFigureSpecs[i].signed_figure))
      return fail(why, r->server + ": " + kFigureSpecs[i].key + " is not a figure");
    r->figures[i].known = true;
  }
  return true;
}

ServerRecord *find(std::vector<ServerRecord> *records, const std::string &server) {
  for (ServerRecord &r : *records) {
    if (r.server == server) return &r;
  }
  return nullptr;
}

// The record of server, added at the end when there is none yet.
ServerRecord *entry(std::vector<ServerRecord> *records, const std::string &server) {
  ServerRecord *r = find(records, server);
  if (r != nullptr) return r;
  records->emplace_back();
  records->back().server = server;
  return &records->back();
}

// The state as it is in the file; a state that cannot be used is set aside, with *warning saying so.
std::vector<ServerRecord> load_state(const std::string &path, std::string *warning) {
  std::vector<ServerRecord> records;
  std::string text;
  std::string why;
  const FileRead read = file_read(path, kMaxStateBytes, &text, &why);
  if (read == FileRead::missing) return records;
  if (read == FileRead::ok && state_parse(text, &records, &why)) return records;
  if (read == FileRead::ok) why = path + ": " + why;
  records.clear();
  std::string moved;
  if (file_move(path, path + kSetAsideSuffix, &moved)) {
    *warning = "state " + why + "; set aside as " + path + kSetAsideSuffix + ", counting starts afresh";
  } else {
    *warning = "state " + why + "; counting starts afresh (" + moved + ")";
  }
  return records;
}

// Keeps the state within its bounds: the servers measured longest ago go first, never the one just
// counted.
std::string bounded_state_text(std::vector<ServerRecord> *records, const std::string &keep) {
  for (;;) {
    std::string text = state_text(*records);
    if ((records->size() <= kMaxStateServers && text.size() <= kMaxStateBytes) || records->size() <= 1) {
      return text;
    }
    auto oldest = records->end();
    for (auto it = records->begin(); it != records->end(); ++it) {
      if (it->server == keep) continue;
      if (oldest == records->end() || it->last_run_timestamp_seconds < oldest->last_run_timestamp_seconds) {
        oldest = it;
      }
    }
    records->erase(oldest);
  }
}

}  // namespace

std::string state_text(const std::vector<ServerRecord> &records) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_int(doc, root, "kestrum_state", kStateFormat);
  yyjson_mut_val *list = yyjson_mut_arr(doc);
  for (const ServerRecord &r : records) yyjson_mut_arr_append(list, record_json(doc, r));
  yyjson_mut_obj_add_val(doc, root, "servers", list);
  size_t len = 0;
  char *json = yyjson_mut_write(doc, YYJSON_WRITE_PRETTY_TWO_SPACES, &len);
  std::string text = json != nullptr ? std::string(json, len) + "\n" : std::string();
  std::free(json);
  yyjson_mut_doc_free(doc);
  return text;
}

bool state_parse(const std::string &text, std::vector<ServerRecord> *records, std::string *why) {
  yyjson_read_err err{};
  yyjson_doc *doc = yyjson_read_opts(const_cast<char *>(text.data()), text.size(), 0, nullptr, &err);
  if (doc == nullptr)
    return fail(why, std::string("not JSON (") + err.msg + " at byte " + std::to_string(err.pos) + ")");
  std::vector<ServerRecord> out;
  bool ok = true;
  yyjson_val *root = yyjson_doc_get_root(doc);
  yyjson_val *format = yyjson_obj_get(root, "kestrum_state");
  yyjson_val *servers = yyjson_obj_get(root, "servers");
  if (!yyjson_is_obj(root) || format == nullptr) {
    ok = fail(why, "not a kestrum state");
  } else if (!yyjson_is_int(format) || yyjson_get_sint(format) != kStateFormat) {
    ok = fail(why, "a state format this kestrum does not read");
  } else if (!yyjson_is_arr(servers) || yyjson_arr_size(servers) > kMaxStateServers) {
    ok = fail(why, "no list of at most " + std::to_string(kMaxStateServers) + " servers");
  } else {
    size_t idx = 0, max = 0;
    yyjson_val *entry = nullptr;
    yyjson_arr_foreach(servers, idx, max, entry) {
      ServerRecord r;
      if (!read_record(entry, &r, why)) {
        ok = false;
        break;
      }
      if (find(&out, r.server) != nullptr) {
        ok = fail(why, r.server + " is listed twice");
        break;
      }
      out.push_back(r);
    }
  }
  yyjson_doc_free(doc);
  if (ok) *records = std::move(out);
  return ok;
}

bool recorder_open(Recorder *r, const std::string &metrics_file, const std::string &state_file,
                   std::string *error) {
  if (!file_replace_check(metrics_file, error)) return false;
  if (!state_file.empty() && !file_replace_check(state_file, error)) return false;
  r->metrics_file = metrics_file;
  r->state_file = state_file;
  r->records.clear();
  return true;
}

bool recorder_run(Recorder *r, const std::string &server, bool ok, double now, const RunFigures &figures,
                  std::string *warning, std::string *error) {
  warning->clear();
  bool written = true;
  FileLock lock;
  if (!r->state_file.empty()) {
    if (!file_lock(r->state_file, kStateLockWaitMs, &lock, error)) return false;
    std::vector<ServerRecord> state = load_state(r->state_file, warning);
    record_run(entry(&state, server), ok, now, figures);
    const std::string text = bounded_state_text(&state, server);
    written = file_replace(r->state_file, text, FileAccess::owner_only, error);
    // The metrics follow the state as written: this process's servers, with every run counted in.
    entry(&r->records, server);
    for (ServerRecord &mine : r->records) {
      const ServerRecord *now_in_state = find(&state, mine.server);
      if (now_in_state != nullptr) mine = *now_in_state;
    }
  } else {
    record_run(entry(&r->records, server), ok, now, figures);
  }
  std::string why;
  if (!file_replace(r->metrics_file, render_metrics(r->records, KESTRUM_VERSION), FileAccess::world_readable,
                    &why)) {
    *error = written ? why : *error + "; " + why;
    written = false;
  }
  file_unlock(&lock);
  return written;
}
