#include "plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// The canvas and the plot area inside it, in pixels.
constexpr double kWidth = 960;
constexpr double kHeight = 540;
constexpr double kLeft = 90;
constexpr double kRight = 870;
constexpr double kTop = 80;
constexpr double kBottom = 470;

struct Style {
  const char *throughput;  // the transfer's line
  const char *probe;       // its probes
};
constexpr Style kDownload = {"#1f77b4", "#ff7f0e"};
constexpr Style kUpload = {"#2ca02c", "#9467bd"};
constexpr const char *kIdleProbe = "#7f7f7f";

std::string num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}

std::string label(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// Text for XML: the five characters with a meaning of their own escaped.
std::string xml(const std::string &text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A step of 1, 2, 2.5 or 5 times a power of ten that cuts [0, max] into about five parts.
double tick_step(double max) {
  const double raw = max / 5;
  const double magnitude = std::pow(10, std::floor(std::log10(raw)));
  for (const double f : {1.0, 2.0, 2.5, 5.0}) {
    if (f * magnitude >= raw) return f * magnitude;
  }
  return 10 * magnitude;
}

// An axis from 0 to a round maximum at or above the largest value.
struct Axis {
  double max = 1;
  double step = 0.2;
};
Axis axis_for(double largest) {
  Axis a;
  if (!(largest > 0) || !std::isfinite(largest)) return a;
  a.step = tick_step(largest);
  a.max = std::ceil(largest / a.step - 1e-9) * a.step;
  return a;
}

struct Scales {
  Axis time, rate, latency;
  double rate_unit = 1;  // Mbit/s per axis unit: 1, or 1000 when the axis reads Gbit/s
  double x(double t) const { return kLeft + t / time.max * (kRight - kLeft); }
  double y_rate(double mbps) const { return kBottom - mbps / rate_unit / rate.max * (kBottom - kTop); }
  double y_latency(double ms) const { return kBottom - ms / latency.max * (kBottom - kTop); }
};

void line(std::string *out, double x1, double y1, double x2, double y2, const char *stroke,
          const char *extra = "") {
  *out += "<line x1=\"" + num(x1) + "\" y1=\"" + num(y1) + "\" x2=\"" + num(x2) + "\" y2=\"" + num(y2) +
          "\" stroke=\"" + stroke + "\"" + extra + "/>\n";
}

void text(std::string *out, double x, double y, const std::string &content, const char *anchor,
          const char *extra = "") {
  *out += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" text-anchor=\"" + anchor + "\"" + extra + ">" +
          xml(content) + "</text>\n";
}

void axes(std::string *out, const Scales &s, const char *rate_title) {
  *out += "<g class=\"axes\" font-size=\"12\" fill=\"#333333\">\n";
  line(out, kLeft, kBottom, kRight, kBottom, "#333333");
  line(out, kLeft, kTop, kLeft, kBottom, "#333333");
  line(out, kRight, kTop, kRight, kBottom, "#333333");
  for (double t = 0; t <= s.time.max + 1e-9; t += s.time.step) {
    line(out, s.x(t), kBottom, s.x(t), kBottom + 5, "#333333");
    line(out, s.x(t), kTop, s.x(t), kBottom, "#eeeeee");
    text(out, s.x(t), kBottom + 20, label(t), "middle");
  }
  for (double v = 0; v <= s.rate.max + 1e-9; v += s.rate.step) {
    const double y = kBottom - v / s.rate.max * (kBottom - kTop);
    line(out, kLeft - 5, y, kLeft, y, "#333333");
    text(out, kLeft - 8, y + 4, label(v), "end");
  }
  for (double v = 0; v <= s.latency.max + 1e-9; v += s.latency.step) {
    const double y = s.y_latency(v);
    line(out, kRight, y, kRight + 5, y, "#333333");
    text(out, kRight + 8, y + 4, label(v), "start");
  }
  text(out, (kLeft + kRight) / 2, kBottom + 45, "time since the run's start (s)", "middle",
       " font-size=\"14\"");
  const double mid = (kTop + kBottom) / 2;
  text(out, 30, mid, rate_title, "middle",
       (" font-size=\"14\" transform=\"rotate(-90 30 " + num(mid) + ")\"").c_str());
  text(out, kWidth - 25, mid, "latency of a probe (ms)", "middle",
       (" font-size=\"14\" transform=\"rotate(90 " + num(kWidth - 25) + " " + num(mid) + ")\"").c_str());
  *out += "</g>\n";
}

void span(std::string *out, const Scales &s, const TransferTrace &t, const char *name, const char *colour) {
  if (!t.started) return;
  const double end = t.ended ? t.end_s : t.start_s;
  *out += "<rect class=\"span\" data-transfer=\"" + std::string(name) + "\" x=\"" + num(s.x(t.start_s)) +
          "\" y=\"" + num(kTop) + "\" width=\"" + num(std::max(0.0, s.x(end) - s.x(t.start_s))) +
          "\" height=\"" + num(kBottom - kTop) + "\" fill=\"" + colour + "\" fill-opacity=\"0.06\"/>\n";
  text(out, s.x(t.start_s) + 4, kBottom - 6, name, "start", " font-size=\"12\" fill=\"#555555\"");
}

void throughput(std::string *out, const Scales &s, const TransferTrace &t, const char *name,
                const char *colour) {
  if (t.reports.empty()) return;
  *out += "<polyline class=\"throughput\" data-transfer=\"" + std::string(name) +
          "\" fill=\"none\" stroke=\"" + colour + "\" stroke-width=\"2\" points=\"";
  for (size_t i = 0; i < t.reports.size(); ++i) {
    if (i > 0) *out += ' ';
    *out += num(s.x(t.reports[i].t_s)) + "," + num(s.y_rate(t.reports[i].mbps));
  }
  *out += "\"/>\n";
}

void probes(std::string *out, const Scales &s, const std::vector<ProbeSample> &samples, const char *phase,
            const char *colour) {
  for (const auto &p : samples) {
    const double x = s.x(p.t_s);
    if (p.ms >= 0) {
      *out += "<circle class=\"probe\" data-phase=\"" + std::string(phase) + "\" cx=\"" + num(x) +
              "\" cy=\"" + num(s.y_latency(p.ms)) + "\" r=\"3\" fill=\"" + colour + "\"/>\n";
    } else {
      // A cross along the top: lost, no figure.
      const double y = kTop + 6;
      *out += "<path class=\"lost\" data-phase=\"" + std::string(phase) + "\" data-x=\"" + num(x) +
              "\" d=\"M " + num(x - 4) + " " + num(y - 4) + " L " + num(x + 4) + " " + num(y + 4) + " M " +
              num(x - 4) + " " + num(y + 4) + " L " + num(x + 4) + " " + num(y - 4) + "\" stroke=\"" +
              colour + "\" stroke-width=\"2\"/>\n";
    }
  }
}

enum class Mark { line, dashed, dot, cross };

void legend_entry(std::string *out, double *x, double y, const char *colour, Mark mark,
                  const std::string &name) {
  switch (mark) {
    case Mark::line:
      line(out, *x, y - 4, *x + 16, y - 4, colour, " stroke-width=\"2\"");
      break;
    case Mark::dashed:
      line(out, *x, y - 4, *x + 16, y - 4, colour, " stroke-width=\"1.5\" stroke-dasharray=\"6 4\"");
      break;
    case Mark::dot:
      *out +=
          "<circle cx=\"" + num(*x + 8) + "\" cy=\"" + num(y - 4) + "\" r=\"3\" fill=\"" + colour + "\"/>\n";
      break;
    case Mark::cross:
      *out += "<path d=\"M " + num(*x + 4) + " " + num(y - 8) + " L " + num(*x + 12) + " " + num(y) + " M " +
              num(*x + 4) + " " + num(y) + " L " + num(*x + 12) + " " + num(y - 8) + "\" stroke=\"" + colour +
              "\" stroke-width=\"2\"/>\n";
      break;
  }
  text(out, *x + 22, y, name, "start", " font-size=\"12\"");
  *x += 34 + 6.5 * static_cast<double>(name.size());
}

}  // namespace

std::string render_plot(const PlotInput &in) {
  // The scales: time to the last thing drawn, each value axis to its largest value.
  double t_max = 0;
  double rate_max = 0;
  double latency_max = in.idle_known ? in.idle_median_ms : 0;
  for (const TransferTrace *t : {&in.download_trace, &in.upload_trace}) {
    if (t->ended) t_max = std::max(t_max, t->end_s);
    for (const auto &r : t->reports) {
      t_max = std::max(t_max, r.t_s);
      rate_max = std::max(rate_max, r.mbps);
    }
  }
  for (const auto *list : {&in.idle_probes, &in.download_probes, &in.upload_probes}) {
    for (const auto &p : *list) {
      t_max = std::max(t_max, p.t_s);
      latency_max = std::max(latency_max, p.ms);
    }
  }
  Scales s;
  const bool gbit = rate_max >= 1000;
  s.rate_unit = gbit ? 1000 : 1;
  s.time = axis_for(t_max);
  s.rate = axis_for(rate_max / s.rate_unit);
  s.latency = axis_for(latency_max);

  std::string out;
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" width=\"" + label(kWidth) +
         "\" height=\"" + label(kHeight) + "\" viewBox=\"0 0 " + label(kWidth) + " " + label(kHeight) +
         "\" font-family=\"sans-serif\">\n";
  out += "<title>" + xml("kestrum: " + in.title) + "</title>\n";
  out += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  text(&out, kLeft, 22, "kestrum " + in.title, "start", " font-size=\"15\" font-weight=\"bold\"");
  out += "<g id=\"plot-area\" data-left=\"" + label(kLeft) + "\" data-right=\"" + label(kRight) +
         "\" data-top=\"" + label(kTop) + "\" data-bottom=\"" + label(kBottom) + "\" data-t-max=\"" +
         label(s.time.max) + "\" data-rate-max=\"" + label(s.rate.max * s.rate_unit) +
         "\" data-latency-max=\"" + label(s.latency.max) + "\">\n";
  if (in.download) span(&out, s, in.download_trace, "download", kDownload.throughput);
  if (in.upload) span(&out, s, in.upload_trace, "upload", kUpload.throughput);
  axes(&out, s, gbit ? "throughput (Gbit/s)" : "throughput (Mbit/s)");
  if (in.idle_known) {
    const double y = s.y_latency(in.idle_median_ms);
    out += "<line id=\"idle-median\" x1=\"" + num(kLeft) + "\" y1=\"" + num(y) + "\" x2=\"" + num(kRight) +
           "\" y2=\"" + num(y) + "\" stroke=\"" + kIdleProbe +
           "\" stroke-width=\"1.5\" stroke-dasharray=\"6 4\"/>\n";
    char caption[64];
    std::snprintf(caption, sizeof caption, "idle median %.2f ms", in.idle_median_ms);
    text(&out, kRight - 4, y - 5, caption, "end", " font-size=\"11\" fill=\"#555555\"");
  }
  if (in.download) throughput(&out, s, in.download_trace, "download", kDownload.throughput);
  if (in.upload) throughput(&out, s, in.upload_trace, "upload", kUpload.throughput);
  probes(&out, s, in.idle_probes, "idle", kIdleProbe);
  if (in.download) probes(&out, s, in.download_probes, "download", kDownload.probe);
  if (in.upload) probes(&out, s, in.upload_probes, "upload", kUpload.probe);
  out += "</g>\n";

  // The legend, in two rows above the plot: the lines, then the points.
  double x = kLeft;
  if (in.download) legend_entry(&out, &x, 44, kDownload.throughput, Mark::line, "download throughput");
  if (in.upload) legend_entry(&out, &x, 44, kUpload.throughput, Mark::line, "upload throughput");
  if (in.idle_known) legend_entry(&out, &x, 44, kIdleProbe, Mark::dashed, "idle median");
  x = kLeft;
  legend_entry(&out, &x, 62, kIdleProbe, Mark::dot, "idle probe");
  if (in.download) legend_entry(&out, &x, 62, kDownload.probe, Mark::dot, "probe under download");
  if (in.upload) legend_entry(&out, &x, 62, kUpload.probe, Mark::dot, "probe under upload");
  legend_entry(&out, &x, 62, "#333333", Mark::cross, "lost probe (along the top)");
  out += "</svg>\n";
  return out;
}
