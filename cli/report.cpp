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

// The idle, download and upload latency side by side, one column per phase that ran.
void print_latency_table(const Figures &f, bool idle, const char *bold, const char *reset) {
  struct Column {
    const char *title;
    std::string latency, p90, jitter, probes;
  };
  Column columns[3];
  int n = 0;
  if (idle) columns[n++] = {"idle", ms_cell(f.ping_ms), "-", ms_cell(f.jitter_ms), "10"};
  const LoadedLatency *phases[2] = {f.run.loaded.download ? &f.run.loaded.download_latency : nullptr,
                                    f.run.loaded.upload ? &f.run.loaded.upload_latency : nullptr};
  const char *titles[2] = {"download", "upload"};
  for (int i = 0; i < 2; ++i) {
    if (phases[i] == nullptr) continue;
    const LoadedLatency &l = *phases[i];
    std::string probes = std::to_string(l.samples);
    if (l.lost > 0) probes += " +" + std::to_string(l.lost) + " lost";
    if (l.samples > 0) {
      columns[n++] = {titles[i], ms_cell(l.median_ms), ms_cell(l.p90_ms), ms_cell(l.jitter_ms), probes};
    } else {
      columns[n++] = {titles[i], "-", "-", "-", probes};
    }
  }
  const char *labels[5] = {"", "Latency", "  p90", "Jitter", "Probes"};
  for (int row = 0; row < 5; ++row) {
    std::printf("%-9s", labels[row]);
    for (int c = 0; c < n; ++c) {
      const Column &col = columns[c];
      const std::string *cells[5] = {nullptr, &col.latency, &col.p90, &col.jitter, &col.probes};
      if (row == 0) {
        std::printf("  %11s", col.title);
      } else if (row == 1) {
        std::printf("  %s%11s%s", bold, cells[row]->c_str(), reset);
      } else {
        std::printf("  %11s", cells[row]->c_str());
      }
    }
    std::printf("\n");
  }
  if (idle) std::printf("(idle: the mean of the library's samples; under load: the median and p90)\n");
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
  if (loaded.download || loaded.upload) {
    yyjson_mut_val *phases = yyjson_mut_obj(doc);
    if (loaded.download) add_loaded(doc, phases, "download", loaded.download_latency);
    if (loaded.upload) add_loaded(doc, phases, "upload", loaded.upload_latency);
    yyjson_mut_obj_add_val(doc, root, "loaded_latency", phases);
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
  std::printf("Server     %s\n", f.server.c_str());
  if (f.run.loaded.download || f.run.loaded.upload) {
    if (shows_download(only))
      std::printf("Download   %s%s%s\n", bold, rate_text(f.download_mbps).c_str(), reset);
    if (shows_upload(only)) std::printf("Upload     %s%s%s\n", bold, rate_text(f.upload_mbps).c_str(), reset);
    print_latency_table(f, shows_ping(only), bold, reset);
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

  std::printf("%s  run %lld  %s", when, run, f.server.c_str());
  if (shows_ping(only)) std::printf("  latency %.2f ms  jitter %.2f ms", f.ping_ms, f.jitter_ms);
  if (shows_download(only)) std::printf("  download %s", rate_text(f.download_mbps).c_str());
  if (shows_upload(only)) std::printf("  upload %s", rate_text(f.upload_mbps).c_str());
  const LoadedLatency *phases[2] = {f.run.loaded.download ? &f.run.loaded.download_latency : nullptr,
                                    f.run.loaded.upload ? &f.run.loaded.upload_latency : nullptr};
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
