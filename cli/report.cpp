#include "report.h"

#include <yyjson.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
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

void add_loaded(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key, const LoadedLatency &l) {
  yyjson_mut_val *phase = yyjson_mut_obj(doc);
  // With no probe answered there is no figure to give: null, not a made-up 0.
  auto figure = [&](const char *name, double value) {
    if (l.samples > 0) {
      yyjson_mut_obj_add_real(doc, phase, name, value);
    } else {
      yyjson_mut_obj_add_null(doc, phase, name);
    }
  };
  figure("median_ms", l.median_ms);
  figure("p90_ms", l.p90_ms);
  figure("jitter_ms", l.jitter_ms);
  yyjson_mut_obj_add_int(doc, phase, "samples", l.samples);
  yyjson_mut_obj_add_int(doc, phase, "lost", l.lost);
  yyjson_mut_obj_add_val(doc, obj, key, phase);
}

std::string ms_cell(double ms) {
  char cell[32];
  std::snprintf(cell, sizeof cell, "%.2f ms", ms);
  return cell;
}

// One column of the latency table: a phase that was probed.
struct Column {
  const char *title;
  const LoadedLatency *latency;
};

// The idle, download and upload latency side by side, one column per phase that was probed, one row per
// figure; "-" where a phase has no figure.
void print_latency_table(const Figures &f, const char *bold, const char *reset) {
  const LoadedReport &l = f.run.loaded;
  Column columns[3];
  int n = 0;
  if (l.idle) columns[n++] = {"idle", &l.idle_latency};
  if (l.download) columns[n++] = {"download", &l.download_latency};
  if (l.upload) columns[n++] = {"upload", &l.upload_latency};

  struct Row {
    const char *label;
    bool strong;
    std::string (*cell)(const LoadedLatency &);
  };
  const Row rows[] = {
      {"Latency", true, [](const LoadedLatency &c) { return c.samples > 0 ? ms_cell(c.median_ms) : "-"; }},
      {"  p90", false, [](const LoadedLatency &c) { return c.samples > 0 ? ms_cell(c.p90_ms) : "-"; }},
      {"Jitter", false, [](const LoadedLatency &c) { return c.samples > 0 ? ms_cell(c.jitter_ms) : "-"; }},
      {"Probes", false,
       [](const LoadedLatency &c) {
         std::string probes = std::to_string(c.samples);
         if (c.lost > 0) probes += " +" + std::to_string(c.lost) + " lost";
         return probes;
       }},
  };
  std::printf("%-9s", "");
  for (int c = 0; c < n; ++c) std::printf("  %11s", columns[c].title);
  std::printf("\n");
  for (const Row &row : rows) {
    std::printf("%-9s", row.label);
    for (int c = 0; c < n; ++c) {
      const std::string cell = row.cell(*columns[c].latency);
      std::printf("  %s%11s%s", row.strong ? bold : "", cell.c_str(), row.strong ? reset : "");
    }
    std::printf("\n");
  }
  std::printf(
      "(latency: medians of TCP probes on fresh connections, from the connection attempt to the reply)\n");
}

// "941 Mbit/s", and what cut the transfer short when the server did.
std::string transfer_text(double mbps, const TransferReport &t, int duration_ms) {
  std::string text = rate_text(mbps);
  if (t.ended_early) {
    char note[96];
    std::snprintf(note, sizeof note, "  (the server ended it after %.2f s of %g s)", t.ran_ms / 1000,
                  duration_ms / 1000.0);
    text += note;
  }
  return text;
}

void add_ended_early(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key, const TransferReport &t) {
  yyjson_mut_val *entry = yyjson_mut_obj(doc);
  yyjson_mut_obj_add_int(doc, entry, "planned_ms", t.planned_ms);
  yyjson_mut_obj_add_int(doc, entry, "ran_ms", std::llround(t.ran_ms));
  yyjson_mut_obj_add_val(doc, obj, key, entry);
}

}  // namespace

std::string rate_text(double mbps) {
  if (!(mbps > 0) || !std::isfinite(mbps)) return "0 Mbit/s";
  // Rounded to three significant figures before the unit is chosen, so that 999.7 reads 1.00 Gbit/s and
  // not 1000 Mbit/s.
  char rounded_text[32];
  std::snprintf(rounded_text, sizeof rounded_text, "%.2e", mbps);
  double value = std::strtod(rounded_text, nullptr);
  const char *unit = "Mbit/s";
  if (value >= 1000) {
    value /= 1000;
    unit = "Gbit/s";
  }
  const int digits = static_cast<int>(std::floor(std::log10(value)));  // 0 for 1.23, 2 for 941
  const int decimals = digits >= 2 ? 0 : 2 - digits;
  char text[64];
  std::snprintf(text, sizeof text, "%.*f %s", decimals, value, unit);
  return text;
}

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
    figures->duration_ms = static_cast<int>(member_number(root, "duration_ms"));
  }
  yyjson_doc_free(doc);
  return ok;
}

std::string rfc3339_utc(std::chrono::system_clock::time_point when) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  const std::tm *utc = std::gmtime(&seconds);  // only the main thread asks for the time
  char text[40] = "";
  if (utc != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", utc);
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, ".%03dZ", static_cast<int>(ms % 1000));
  return std::string(text) + fraction;
}

std::string compose_result(const char *library_json, const RunReport &run) {
  const std::string base = library_json;
  const LoadedReport &loaded = run.loaded;
  const std::vector<CandidateReport> &candidates = run.candidates;
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *root = yyjson_mut_obj(doc);
  yyjson_mut_doc_set_root(doc, root);
  yyjson_mut_obj_add_int(doc, root, "version", kResultVersion);
  yyjson_mut_obj_add_strcpy(doc, root, "timestamp", run.timestamp.c_str());
  if (loaded.idle) add_loaded(doc, root, "idle_latency", loaded.idle_latency);
  if (loaded.download || loaded.upload) {
    yyjson_mut_val *phases = yyjson_mut_obj(doc);
    if (loaded.download) add_loaded(doc, phases, "download", loaded.download_latency);
    if (loaded.upload) add_loaded(doc, phases, "upload", loaded.upload_latency);
    yyjson_mut_obj_add_val(doc, root, "loaded_latency", phases);
  }
  if (run.download.ended_early || run.upload.ended_early) {
    yyjson_mut_val *ended = yyjson_mut_obj(doc);
    if (run.download.ended_early) add_ended_early(doc, ended, "download", run.download);
    if (run.upload.ended_early) add_ended_early(doc, ended, "upload", run.upload);
    yyjson_mut_obj_add_val(doc, root, "ended_early", ended);
  }
  if (!candidates.empty()) {
    yyjson_mut_val *list = yyjson_mut_arr(doc);
    for (const auto &c : candidates) {
      yyjson_mut_val *entry = yyjson_mut_arr_add_obj(doc, list);
      yyjson_mut_obj_add_strcpy(doc, entry, "host", c.host.c_str());
      yyjson_mut_obj_add_int(doc, entry, "port", c.port);
      if (!c.address.empty()) yyjson_mut_obj_add_strcpy(doc, entry, "address", c.address.c_str());
      if (c.error.empty()) {
        yyjson_mut_obj_add_real(doc, entry, "median_ms", c.median_ms);
      } else {
        yyjson_mut_obj_add_strcpy(doc, entry, "error", c.error.c_str());
      }
      yyjson_mut_obj_add_bool(doc, entry, "chosen", c.chosen);
    }
    yyjson_mut_obj_add_val(doc, root, "candidates", list);
  }
  size_t len = 0;
  char *extra = yyjson_mut_write(doc, YYJSON_WRITE_NOFLAG, &len);
  yyjson_mut_doc_free(doc);
  // The library's members stay exactly as it wrote them; ours follow: its closing brace becomes a comma
  // and our object's opening brace goes.
  std::string result = base;
  if (extra != nullptr && len > 2 && result.size() > 2 && result.back() == '}') {
    result.back() = ',';
    result.append(extra + 1, len - 1);
  }
  std::free(extra);
  return result;
}

void print_summary(const Figures &f, TestSelection only, bool colour) {
  const char *bold = colour ? "\x1b[1m" : "";
  const char *reset = colour ? "\x1b[0m" : "";
  const RunReport &r = f.run;
  std::printf("Server     %s\n", f.server.c_str());
  if (r.loaded.download || r.loaded.upload) {
    if (shows_download(only)) {
      std::printf("Download   %s%s%s\n", bold,
                  transfer_text(f.download_mbps, r.download, f.duration_ms).c_str(), reset);
    }
    if (shows_upload(only)) {
      std::printf("Upload     %s%s%s\n", bold, transfer_text(f.upload_mbps, r.upload, f.duration_ms).c_str(),
                  reset);
    }
    print_latency_table(f, bold, reset);
    std::fflush(stdout);
    return;
  }
  if (shows_ping(only)) {
    std::printf("Latency    %s%.2f%s ms\n", bold, f.ping_ms, reset);
    std::printf("Jitter     %s%.2f%s ms\n", bold, f.jitter_ms, reset);
  }
  if (shows_download(only))
    std::printf("Download   %s%s%s\n", bold, rate_text(f.download_mbps).c_str(), reset);
  if (shows_upload(only)) std::printf("Upload     %s%s%s\n", bold, rate_text(f.upload_mbps).c_str(), reset);
  std::fflush(stdout);
}

void print_summary_line(const Figures &f, TestSelection only, long long run) {
  char when[32] = "";
  const std::time_t now = std::time(nullptr);
  const std::tm *local = std::localtime(&now);  // only the main thread asks for the time
  if (local != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", local);

  const LoadedReport &l = f.run.loaded;
  std::printf("%s  run %lld  %s", when, run, f.server.c_str());
  if (l.idle) {
    if (l.idle_latency.samples > 0) {
      std::printf("  idle latency %.2f ms", l.idle_latency.median_ms);
    } else {
      std::printf("  idle latency -");
    }
  } else if (shows_ping(only)) {
    std::printf("  latency %.2f ms  jitter %.2f ms", f.ping_ms, f.jitter_ms);
  }
  if (shows_download(only)) {
    std::printf("  download %s", rate_text(f.download_mbps).c_str());
    if (f.run.download.ended_early)
      std::printf(" (ended by the server after %.2f s)", f.run.download.ran_ms / 1000);
  }
  if (shows_upload(only)) {
    std::printf("  upload %s", rate_text(f.upload_mbps).c_str());
    if (f.run.upload.ended_early)
      std::printf(" (ended by the server after %.2f s)", f.run.upload.ran_ms / 1000);
  }
  const LoadedLatency *phases[2] = {l.download ? &l.download_latency : nullptr,
                                    l.upload ? &l.upload_latency : nullptr};
  const char *titles[2] = {"download", "upload"};
  for (int i = 0; i < 2; ++i) {
    if (phases[i] == nullptr) continue;
    if (phases[i]->samples > 0) {
      std::printf("  %s latency %.2f ms p90 %.2f ms", titles[i], phases[i]->median_ms, phases[i]->p90_ms);
    } else {
      std::printf("  %s latency -", titles[i]);
    }
    if (phases[i]->lost > 0) std::printf(" (%d lost)", phases[i]->lost);
  }
  std::printf("\n");
  std::fflush(stdout);
}
