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

// A figure, or null where there is none to give (not a made-up 0).
void add_figure(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *name, bool known, double value) {
  if (known) {
    yyjson_mut_obj_add_real(doc, obj, name, value);
  } else {
    yyjson_mut_obj_add_null(doc, obj, name);
  }
}

// One phase's latency summary; with increase set (a transfer), its rise over idle and the grade of it.
yyjson_mut_val *add_loaded(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                           const LoadedLatency &l) {
  yyjson_mut_val *phase = yyjson_mut_obj(doc);
  const bool any = l.samples > 0;
  add_figure(doc, phase, "median_ms", any, l.median_ms);
  add_figure(doc, phase, "p90_ms", any, l.p90_ms);
  add_figure(doc, phase, "jitter_ms", any, l.jitter_ms);
  yyjson_mut_obj_add_int(doc, phase, "samples", l.samples);
  yyjson_mut_obj_add_int(doc, phase, "lost", l.lost);
  add_figure(doc, phase, "connect_ms", l.connect_ms >= 0, l.connect_ms);
  add_figure(doc, phase, "reply_ms", l.reply_ms >= 0, l.reply_ms);
  yyjson_mut_obj_add_val(doc, obj, key, phase);
  return phase;
}

void add_grade(yyjson_mut_doc *doc, yyjson_mut_val *phase, const LoadedReport &loaded,
               const LoadedLatency &l) {
  double increase = 0;
  const bool known = latency_increase(loaded, l, &increase);
  add_figure(doc, phase, "increase_ms", known, increase);
  if (known) {
    yyjson_mut_obj_add_str(doc, phase, "grade", bloat_grade(increase));
  } else {
    yyjson_mut_obj_add_null(doc, phase, "grade");
  }
}

void add_responsiveness(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key, const Responsiveness &r) {
  yyjson_mut_val *entry = yyjson_mut_obj(doc);
  if (r.known) {
    yyjson_mut_obj_add_int(doc, entry, "rpm", std::llround(r.rpm));
  } else {
    yyjson_mut_obj_add_null(doc, entry, "rpm");
  }
  yyjson_mut_obj_add_str(doc, entry, "confidence", confidence_name(r.confidence));
  yyjson_mut_obj_add_str(doc, entry, "basis", kResponsivenessBasis);
  add_figure(doc, entry, "connect_ms", r.known, r.connect_tm_ms);
  add_figure(doc, entry, "reply_ms", r.known, r.reply_tm_ms);
  yyjson_mut_obj_add_int(doc, entry, "probes", r.probes);
  yyjson_mut_obj_add_val(doc, obj, key, entry);
}

std::string ms_cell(double ms) {
  char cell[32];
  std::snprintf(cell, sizeof cell, "%.2f ms", ms);
  return cell;
}

// One column of the latency table: a phase that was probed; a transfer also has its increase, its
// grade and its responsiveness.
struct Column {
  const char *title;
  const LoadedLatency *latency;
  const Responsiveness *responsiveness;  // null for idle
  bool graded;
  double increase_ms;
};

// A signed figure rounded to tenths as it is shown, without the "-0.0" of a tiny decrease.
double shown_tenths(double v) {
  const double r = std::round(v * 10) / 10;
  return r == 0 ? 0.0 : r;
}

std::string figure_cell(bool known, double ms) { return known ? ms_cell(ms) : "-"; }

// The idle, download and upload latency side by side, one column per phase that was probed, one row per
// figure; "-" where a phase has no figure.
void print_latency_table(const Figures &f, const char *bold, const char *reset) {
  const LoadedReport &l = f.run.loaded;
  Column columns[3];
  int n = 0;
  if (l.idle) columns[n++] = {"idle", &l.idle_latency, nullptr, false, 0};
  const struct {
    bool ran;
    const char *title;
    const LoadedLatency *latency;
    const Responsiveness *responsiveness;
  } transfers[2] = {{l.download, "download", &l.download_latency, &f.run.download.responsiveness},
                    {l.upload, "upload", &l.upload_latency, &f.run.upload.responsiveness}};
  for (const auto &t : transfers) {
    if (!t.ran) continue;
    Column c{t.title, t.latency, t.responsiveness, false, 0};
    c.graded = latency_increase(l, *t.latency, &c.increase_ms);
    columns[n++] = c;
  }

  struct Row {
    const char *label;
    bool strong;
    std::string (*cell)(const Column &);
  };
  const Row rows[] = {
      {"Latency", true,
       [](const Column &c) { return figure_cell(c.latency->samples > 0, c.latency->median_ms); }},
      {"  connect", false,
       [](const Column &c) { return figure_cell(c.latency->connect_ms >= 0, c.latency->connect_ms); }},
      {"  reply", false,
       [](const Column &c) { return figure_cell(c.latency->reply_ms >= 0, c.latency->reply_ms); }},
      {"  p90", false,
       [](const Column &c) { return figure_cell(c.latency->samples > 0, c.latency->p90_ms); }},
      {"Jitter", false,
       [](const Column &c) { return figure_cell(c.latency->samples > 0, c.latency->jitter_ms); }},
      {"Probes", false,
       [](const Column &c) {
         std::string probes = std::to_string(c.latency->samples);
         if (c.latency->lost > 0) probes += " +" + std::to_string(c.latency->lost) + " lost";
         return probes;
       }},
      {"Bloat", true,
       [](const Column &c) {
         if (!c.graded) return std::string("-");
         char cell[48];
         std::snprintf(cell, sizeof cell, "%s %+.1f ms", bloat_grade(c.increase_ms),
                       shown_tenths(c.increase_ms));
         return std::string(cell);
       }},
      {"RPM", true,
       [](const Column &c) {
         if (c.responsiveness == nullptr || !c.responsiveness->known) return std::string("-");
         char cell[48];
         std::snprintf(cell, sizeof cell, "%.0f %s", c.responsiveness->rpm,
                       confidence_name(c.responsiveness->confidence));
         return std::string(cell);
       }},
  };
  std::printf("%-9s", "");
  for (int c = 0; c < n; ++c) std::printf("  %12s", columns[c].title);
  std::printf("\n");
  for (const Row &row : rows) {
    std::printf("%-9s", row.label);
    for (int c = 0; c < n; ++c) {
      const std::string cell = row.cell(columns[c]);
      std::printf("  %s%12s%s", row.strong ? bold : "", cell.c_str(), row.strong ? reset : "");
    }
    std::printf("\n");
  }
  std::fputs(
      "Latency: medians of TCP probes on fresh connections, from the connection attempt to the reply: two\n"
      "round trips, the connection's set-up and a request. Bloat: the grade (A+ to F) of the reply's rise\n"
      "over idle, one round trip as a ping sees it. RPM: round trips per minute from fresh-connection TCP\n"
      "probes (the TCP-only form of the IETF responsiveness draft's figure, not its full test), with the\n"
      "draft's confidence.\n",
      stdout);
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

bool latency_increase(const LoadedReport &loaded, const LoadedLatency &transfer, double *increase_ms) {
  if (!loaded.idle || loaded.idle_latency.reply_ms < 0 || transfer.reply_ms < 0) return false;
  *increase_ms = transfer.reply_ms - loaded.idle_latency.reply_ms;
  return true;
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
    if (loaded.download) {
      add_grade(doc, add_loaded(doc, phases, "download", loaded.download_latency), loaded,
                loaded.download_latency);
    }
    if (loaded.upload) {
      add_grade(doc, add_loaded(doc, phases, "upload", loaded.upload_latency), loaded, loaded.upload_latency);
    }
    yyjson_mut_obj_add_val(doc, root, "loaded_latency", phases);
    yyjson_mut_val *rpm = yyjson_mut_obj(doc);
    if (loaded.download) add_responsiveness(doc, rpm, "download", run.download.responsiveness);
    if (loaded.upload) add_responsiveness(doc, rpm, "upload", run.upload.responsiveness);
    yyjson_mut_obj_add_val(doc, root, "responsiveness", rpm);
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
  const Responsiveness *rpm[2] = {&f.run.download.responsiveness, &f.run.upload.responsiveness};
  const char *titles[2] = {"download", "upload"};
  for (int i = 0; i < 2; ++i) {
    if (phases[i] == nullptr) continue;
    if (phases[i]->samples > 0) {
      std::printf("  %s latency %.2f ms p90 %.2f ms", titles[i], phases[i]->median_ms, phases[i]->p90_ms);
    } else {
      std::printf("  %s latency -", titles[i]);
    }
    if (phases[i]->lost > 0) std::printf(" (%d lost)", phases[i]->lost);
    double increase = 0;
    if (latency_increase(l, *phases[i], &increase)) {
      std::printf(" bloat %s (%+.1f ms)", bloat_grade(increase), shown_tenths(increase));
    }
    if (rpm[i]->known) std::printf(" %.0f RPM %s", rpm[i]->rpm, confidence_name(rpm[i]->confidence));
  }
  std::printf("\n");
  std::fflush(stdout);
}
