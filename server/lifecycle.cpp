// kestrum-server's lifecycle: the limits sized at start, the listener, the threads, and a stop bounded in
// time.
#include <algorithm>
#include <cstdio>
#include <system_error>

#include "host_port.h"
#include "server_internal.h"
#include "server_platform.h"

namespace {

// Descriptors kept back from the pending connections: the listener, the poller, the streams and a few
// for the host process.
constexpr long kReservedFiles = 64;
// Without an open-files limit to go by (Windows), or above it, the pending connections are held to this:
// each costs the kernel a socket and the loop a few hundred bytes.
constexpr long kMaxPendingCeiling = 65536;
constexpr int kMinPendingPerSource = 16;

std::string error_text(int code) { return std::system_category().message(code); }

// Opens, binds and starts a listening socket for one address; KS_INVALID_SOCKET with *why filled on
// failure.
sock_t open_listener(const sockaddr *addr, socklen_t len, std::string *why) {
  const sock_t s = sock_open(addr->sa_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == KS_INVALID_SOCKET) {
    *why = error_text(sock_error());
    return s;
  }
  sock_set_listen_reuse(s);
  // Both families on one socket: a dual-stack listener serves IPv4 clients as mapped addresses.
  if (addr->sa_family == AF_INET6) sock_set_int(s, IPPROTO_IPV6, IPV6_V6ONLY, 0);
  if (::bind(s, addr, len) != 0 || ::listen(s, SOMAXCONN) != 0) {
    *why = error_text(sock_error());
    sock_close(s);
    return KS_INVALID_SOCKET;
  }
  // Non-blocking: the loop accepts until the queue is empty and must learn that it is without waiting.
  sock_set_nonblocking(s, true);
  return s;
}

// The wildcard listener: IPv6 with IPv4 mapped in where the machine has IPv6, plain IPv4 otherwise.
sock_t open_any(int port, std::string *why) {
  sockaddr_in6 any6{};
  any6.sin6_family = AF_INET6;
  any6.sin6_port = htons(static_cast<uint16_t>(port));
  std::string why6;
  sock_t s = open_listener(reinterpret_cast<const sockaddr *>(&any6), sizeof any6, &why6);
  if (s != KS_INVALID_SOCKET) return s;
  sockaddr_in any4{};
  any4.sin_family = AF_INET;
  any4.sin_port = htons(static_cast<uint16_t>(port));
  std::string why4;
  s = open_listener(reinterpret_cast<const sockaddr *>(&any4), sizeof any4, &why4);
  if (s == KS_INVALID_SOCKET) *why = "IPv6: " + why6 + "; IPv4: " + why4;
  return s;
}

sock_t open_bound(const std::string &bind, int port, std::string *why) {
  // Brackets are how an IPv6 address is usually written next to a port; accept them here too.
  const std::string host = without_brackets(bind);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  // Numeric only: a server that starts must not hang on, or depend on, a name service.
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo *list = nullptr;
  const std::string service = std::to_string(port);
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr) {
    *why = "'" + bind + "' is not an IPv4 or IPv6 address";
    return KS_INVALID_SOCKET;
  }
  sock_t s = KS_INVALID_SOCKET;
  for (const addrinfo *ai = list; ai != nullptr && s == KS_INVALID_SOCKET; ai = ai->ai_next) {
    s = open_listener(ai->ai_addr, static_cast<socklen_t>(ai->ai_addrlen), why);
  }
  freeaddrinfo(list);
  return s;
}

bool check_config(const ServerConfig &c, std::string *error) {
  if (c.port < 0 || c.port > 65535) {
    *error = "port must be between 0 and 65535";
  } else if (c.max_pending < 0 || c.max_pending_per_source < 0) {
    *error = "pending limits must not be negative";
  } else if (c.ipv6_prefix < kMinIpv6Prefix || c.ipv6_prefix > kMaxIpv6Prefix) {
    *error = "the IPv6 prefix must be between 48 and 128 bits";
  } else if (c.max_streams < 1 || c.max_streams_per_source < 1) {
    *error = "stream limits must be at least 1";
  } else if (c.command_timeout_ms < 1 || c.rate_window_ms < 1) {
    *error = "time limits must be positive";
  } else if (c.max_stream_seconds < 1) {
    *error = "max stream must be at least 1 second";
  } else if (c.min_rate_bytes < 0 || c.socket_buffer_bytes < 0 || c.slow_penalty_ms < 0) {
    *error = "the minimum rate, the slow penalty and the socket buffer size must not be negative";
  } else {
    return true;
  }
  return false;
}

}  // namespace

ServerConfig server_limits(const ServerConfig &config) {
  ServerConfig c = config;
  if (c.max_pending == 0) {
    // What the open-files limit leaves once the streams (a descriptor each) and the reserve are counted.
    const long files = open_files_limit();
    const long room = files < 0 ? kMaxPendingCeiling : files - kReservedFiles - c.max_streams;
    c.max_pending = static_cast<int>(std::clamp(room, 16L, kMaxPendingCeiling));
  }
  if (c.max_pending_per_source == 0)
    c.max_pending_per_source = std::max(kMinPendingPerSource, c.max_pending / 4);
  c.max_pending_per_source = std::min(c.max_pending_per_source, c.max_pending);
  return c;
}

Server *server_start(const ServerConfig &config, std::string *error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (!check_config(config, error)) return nullptr;
  if (net_startup() != 0) {
    *error = "cannot start the socket layer";
    return nullptr;
  }
  std::string why;
  const sock_t listener =
      config.bind.empty() ? open_any(config.port, &why) : open_bound(config.bind, config.port, &why);
  if (listener == KS_INVALID_SOCKET) {
    const std::string where = config.bind.empty() ? std::string("all addresses") : config.bind;
    *error = "cannot listen on " + where + " port " + std::to_string(config.port) + ": " + why;
    net_shutdown();
    return nullptr;
  }
  // Set on the listener, every accepted connection inherits it (Linux copies the listener's congestion
  // control into each connection it accepts); a name the kernel does not offer stops the start here
  // rather than leaving every connection on the default.
  if (!config.congestion.empty() && !sock_set_congestion(listener, config.congestion, &why)) {
    *error = "congestion control '" + config.congestion + "' is not available: " + why;
    sock_close(listener);
    net_shutdown();
    return nullptr;
  }
  download_block();  // generated now rather than on the first download, which would be timed

  auto *srv = new Server;
  srv->config = server_limits(config);
  srv->listener = listener;
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  std::string where = "?";
  if (getsockname(listener, reinterpret_cast<sockaddr *>(&ss), &len) == 0) {
    const auto *sa = reinterpret_cast<const sockaddr *>(&ss);
    srv->port = ntohs(sa->sa_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_port
                                                : reinterpret_cast<const sockaddr_in *>(sa)->sin_port);
    where = address_text(sa, len);
  }
  srv->poller = poller_open();
  bool started = srv->poller != nullptr;
  if (started) {
    try {
      srv->loop = std::thread(admission_loop, srv, srv->poller);
    } catch (const std::system_error &) {
      started = false;
    }
  }
  if (!started) {
    *error = "cannot start the admission loop";
    poller_close(srv->poller);
    sock_close(listener);
    delete srv;
    net_shutdown();
    return nullptr;
  }
  char line[320];
  std::snprintf(line, sizeof line,
                "listening on %s%s; pending at most %d (%d per source), streams at most %d (%d per source), "
                "at least %d bytes/s per %.1f s window; a source is an IPv4 address or an IPv6 /%d",
                where.c_str(), config.bind.empty() && ss.ss_family == AF_INET6 ? " (IPv6 and IPv4)" : "",
                srv->config.max_pending, srv->config.max_pending_per_source, srv->config.max_streams,
                srv->config.max_streams_per_source, srv->config.min_rate_bytes,
                srv->config.rate_window_ms / 1000.0, srv->config.ipv6_prefix);
  emit(*srv, line);
  return srv;
}

int server_port(const Server *server) { return server != nullptr ? server->port : 0; }

ServerStats server_stats(const Server *server) {
  ServerStats st;
  if (server == nullptr) return st;
  st.connections = server->connections.load();
  st.refused_per_source = server->refused_per_source.load();
  st.refused_full = server->refused_full.load();
  st.refused_penalty = server->refused_penalty.load();
  st.refused_no_thread = server->refused_no_thread.load();
  st.rejected = st.refused_per_source + st.refused_full + st.refused_penalty + st.refused_no_thread;
  st.reclaimed = server->reclaimed.load();
  st.too_slow = server->too_slow.load();
  st.max_length = server->max_length.load();
  st.evicted = server->evicted.load();
  st.timed_out = server->timed_out.load();
  st.unknown_command = server->unknown_command.load();
  st.pending = server->pending.load();
  st.streams = server->stream_count.load();
  st.active = st.pending + st.streams;
  st.dropped = server->dropped.load();
  st.pings = server->pings.load();
  st.downloads = server->downloads.load();
  st.uploads = server->uploads.load();
  st.bytes_sent = server->bytes_sent.load();
  st.bytes_received = server->bytes_received.load();
  return st;
}

void server_stop(Server *server) {
  if (server == nullptr) return;
  server->stopping.store(true);
  // The loop sees the stop within a slice, closes its pending connections and returns.
  server->loop.join();
  streams_stop(*server);
  poller_close(server->poller);
  sock_close(server->listener);
  const ServerStats st = server_stats(server);
  char line[320];
  std::snprintf(line, sizeof line,
                "stopped after %llu connections (%llu streams refused, %llu pending evicted, %llu streams "
                "reclaimed, %llu below the minimum rate)",
                static_cast<unsigned long long>(st.connections), static_cast<unsigned long long>(st.rejected),
                static_cast<unsigned long long>(st.evicted), static_cast<unsigned long long>(st.reclaimed),
                static_cast<unsigned long long>(st.too_slow));
  emit(*server, line);
  delete server;
  net_shutdown();
}
