// kestrum-server's stats and log lines: timestamps, address texts and how a connection ended.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

SourceKey source_key(const sockaddr *sa) {
  if (sa->sa_family == AF_INET) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
    return SourceKey(reinterpret_cast<const char *>(&in->sin_addr), 4);
  }
  if (sa->sa_family == AF_INET6) {
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
    const auto *b = reinterpret_cast<const unsigned char *>(&in6->sin6_addr);
    // An IPv4 client of the dual-stack listener is the same source as over a plain IPv4 listener.
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(b, kMapped, sizeof kMapped) == 0)
      return SourceKey(reinterpret_cast<const char *>(b + 12), 4);
    return SourceKey(reinterpret_cast<const char *>(b), 16);
  }
  return SourceKey();
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
    case End::stopped:
      return "server stopping";
    case End::timed_out:
      return "no command in time";
    case End::unknown_command:
      return "unknown command";
  }
  return "?";
}

double mbit_per_s(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) * 8 / 1e6 / seconds : 0.0;
}
