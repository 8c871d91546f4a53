#include "bundled_server.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "host_port.h"

Server *bundled_server_start(const Options &o, ServerName *name) {
  ServerConfig config;
  config.bind = o.family == Family::ipv6 ? "::1" : "127.0.0.1";
  config.port = 0;
  config.quiet = true;
  // The server ends a stream after max_stream_seconds; a long --duration must not be cut short.
  config.max_stream_seconds = std::max(config.max_stream_seconds, o.duration_ms / 1000 + 60);
  std::string why;
  Server *server = server_start(config, &why);
  if (server == nullptr) {
    std::fprintf(stderr, "kestrum: cannot start the bundled server: %s\n", why.c_str());
    return nullptr;
  }
  *name = {config.bind, server_port(server)};
  std::fprintf(stderr, "No server given: measuring against the bundled server on %s\n",
               host_port_text(config.bind, server_port(server)).c_str());
  std::fflush(stderr);
  return server;
}
