// kestrum-server's stats and log lines: timestamps, address texts and how a stream ended.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "host_port.h"
#include "server_internal.h"

void emit(Server &srv, const char *text) {
  if (srv.config.quiet) return;
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::lock_guard<std::mutex> lock(srv.log_mu);
  char stamp[32] = "";
  if (const std::tm *tm = std::localtime(&secs)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", tm);
  char line[512];
  std::snprintf(line, sizeof line, "%s.%03d %s", stamp, ms, text);
  if (srv.config.log) {
    srv.config.log(line);
  } else {
    std::fprintf(stderr, "%s\n", line);
  }
}

std::string address_text(const sockaddr *sa, socklen_t len) {
  char host[NI_MAXHOST];
  char serv[NI_MAXSERV];
  if (getnameinfo(sa, len, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  // An IPv4 client of the dual-stack socket shows up as ::ffff:a.b.c.d; the plain form reads better.
  const char *mapped = "::ffff:";
  if (sa->sa_family == AF_INET6 && std::strncmp(host, mapped, std::strlen(mapped)) == 0 &&
      std::strchr(host + std::strlen(mapped), '.') != nullptr) {
    return std::string(host + std::strlen(mapped)) + ":" + serv;
  }
  return host_port_text(host, std::atoi(serv));
}

const char *end_text(End end) {
  switch (end) {
    case End::client_closed:
      return "client closed";
    case End::reset:
      return "connection reset";
    case End::max_stream:
      return "max stream length reached";
    case End::too_slow:
      return "below the minimum rate";
    case End::reclaimed:
      return "slot reclaimed for a newcomer";
    case End::stopped:
      return "server stopping";
  }
  return "?";
}

std::string server_metrics_text(const ServerStats &st) {
  struct Sample {
    const char *labels;  // null: none
    uint64_t value;
  };
  struct Family {
    const char *name, *type, *help;
    std::vector<Sample> samples;
  };
  const Family families[] = {
      {"kestrum_server_connections_total", "counter", "Connections accepted.", {{nullptr, st.connections}}},
      {"kestrum_server_pending",
       "gauge",
       "Connections waiting for their command, or for the client's close after a ping.",
       {{nullptr, st.pending}}},
      {"kestrum_server_streams",
       "gauge",
       "Downloads and uploads holding a stream slot.",
       {{nullptr, st.streams}}},
      {"kestrum_server_streams_refused_total",
       "counter",
       "New streams refused at once, by reason.",
       {{"reason=\"per_source\"", st.refused_per_source},
        {"reason=\"full\"", st.refused_full},
        {"reason=\"penalty\"", st.refused_penalty},
        {"reason=\"no_thread\"", st.refused_no_thread}}},
      {"kestrum_server_streams_ended_total",
       "counter",
       "Streams the server ended, by reason.",
       {{"reason=\"reclaimed\"", st.reclaimed},
        {"reason=\"too_slow\"", st.too_slow},
        {"reason=\"max_length\"", st.max_length}}},
      {"kestrum_server_pending_closed_total",
       "counter",
       "Pending connections the server closed, by reason.",
       {{"reason=\"evicted\"", st.evicted},
        {"reason=\"timed_out\"", st.timed_out},
        {"reason=\"unknown_command\"", st.unknown_command}}},
      {"kestrum_server_pings_total", "counter", "Ping probes answered.", {{nullptr, st.pings}}},
      {"kestrum_server_streams_finished_total",
       "counter",
       "Streams finished, however they ended.",
       {{"direction=\"download\"", st.downloads}, {"direction=\"upload\"", st.uploads}}},
      {"kestrum_server_bytes_total",
       "counter",
       "Payload bytes: downloads handed to the socket layer, uploads received.",
       {{"direction=\"download\"", st.bytes_sent}, {"direction=\"upload\"", st.bytes_received}}},
  };
  std::string out;
  for (const Family &f : families) {
    out += std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n";
    for (const Sample &sample : f.samples) {
      out += f.name;
      if (sample.labels != nullptr) out += std::string("{") + sample.labels + "}";
      out += " " + std::to_string(sample.value) + "\n";
    }
  }
  return out;
}
