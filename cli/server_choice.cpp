#include "server_choice.h"

#include <cstdio>

#include "events.h"
#include "host_port.h"
#include "interrupts.h"
#include "metrics.h"
#include "quantiles.h"
#include "safe_text.h"

namespace {

constexpr int kCandidatePings = 3;

constexpr int kCandidateLimitMs = 2000;

// Resolves every server once and, when there are several, pings each and keeps the one with the lowest
// median. false when none can be measured (the reasons are on stderr) or when interrupted.
bool choose_target(const Options &o, const std::vector<ServerName> &servers, Target *target) {
  std::vector<Endpoint> endpoints(servers.size());
  std::vector<double> medians(servers.size(), -1);
  std::vector<CandidateReport> reports;
  for (size_t i = 0; i < servers.size(); ++i) {
    CandidateReport r;
    r.host = servers[i].host;
    r.port = servers[i].port;
    if (!resolve_endpoint(servers[i].host, servers[i].port, o.family, &endpoints[i], &r.error)) {
      reports.push_back(r);
      continue;
    }
    r.address = endpoints[i].address;
    if (servers.size() > 1) {
      std::vector<double> answered;
      for (int k = 0; k < kCandidatePings && !interrupted(); ++k) {
        const double ms = probe_once(endpoints[i], kCandidateLimitMs, choice_ping_stop());
        if (ms >= 0) answered.push_back(ms);
      }
      if (interrupted()) return false;
      if (answered.empty()) {
        r.error = "no answer to " + std::to_string(kCandidatePings) + " pings";
      } else {
        r.median_ms = medians[i] = median(answered);
      }
    }
    reports.push_back(r);
  }

  size_t best = servers.size();
  for (size_t i = 0; i < servers.size(); ++i) {
    if (!reports[i].error.empty()) continue;
    if (best == servers.size() || medians[i] < medians[best]) best = i;
  }
  if (best == servers.size()) {
    if (servers.size() == 1) {
      std::fprintf(stderr, "kestrum: %s\n", reports[0].error.c_str());
      if (o.json_stream) event_error(reports[0].error);
    } else {
      std::string why;
      for (const auto &r : reports) {
        why += (why.empty() ? " " : "; ") + printable(host_port_text(r.host, r.port)) + ": " + r.error;
      }
      std::fprintf(stderr, "kestrum: no server answered:%s\n", why.c_str());
      if (o.json_stream) event_error("no server answered:" + why);
    }
    return false;
  }

  target->label = server_label(servers[best].host, servers[best].port);
  target->endpoint = endpoints[best];
  const std::string where = endpoint_text(endpoints[best]);
  target->display =
      servers[best].host == endpoints[best].address ? where : servers[best].host + " (" + where + ")";
  if (servers.size() > 1) {
    reports[best].chosen = true;
    target->candidates = reports;
    std::fprintf(stderr, "Measuring %s: the lowest median latency (%.2f ms over %d pings) of %zu servers\n",
                 printable(target->display).c_str(), medians[best], kCandidatePings, servers.size());
    for (const auto &r : reports) {
      if (!r.error.empty()) {
        std::fprintf(stderr, "  skipped %s: %s\n", printable(host_port_text(r.host, r.port)).c_str(),
                     r.error.c_str());
      }
    }
    std::fflush(stderr);
  }
  return true;
}

}  // namespace

std::vector<Target> choose_targets(const Options &o, const std::vector<ServerName> &servers,
                                   const std::function<void(const std::string &label)> &unmeasured) {
  std::vector<Target> targets;
  const size_t groups = o.each ? servers.size() : 1;
  for (size_t i = 0; i < groups && !interrupted(); ++i) {
    const std::vector<ServerName> group = o.each ? std::vector<ServerName>{servers[i]} : servers;
    Target target;
    if (choose_target(o, group, &target)) {
      targets.push_back(target);
    } else if (!interrupted()) {
      unmeasured(server_label(group.front().host, group.front().port));
    }
  }
  return targets;
}
