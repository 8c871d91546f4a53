// kestrum-server's engine. One thread accepts; every admitted connection gets a thread of its own that
// speaks the protocol over a blocking socket. Each blocking call waits at most one short slice, so a
// deadline, a stalled peer or a stop request is noticed within a slice whatever the client does, and a
// client that misbehaves only ever holds its own thread.
#include "server.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The longest any server thread blocks in one call. It bounds how late a stop, a deadline or a stall is
// seen, and so how long server_stop takes where shutting a socket down does not wake its reader (the
// accept thread's slice, then a connection's). Each idle connection wakes once a slice; a thousand
// connections waiting for their command measured about 6% of a core at 100 ms, 4% at 250 ms.
constexpr int kSliceMs = 250;
// One download send hands the kernel this much: on loopback the stream is then limited by the client's
// receive loop, not by our syscall rate.
constexpr int kBlockBytes = 1 << 20;
// Upload reads: large enough that a fast sender costs few syscalls, and only allocated once a client
// has asked to upload, so idle connections stay small.
constexpr int kUploadBufferBytes = 256 * 1024;
// Socket buffers of transfer connections: a few MiB keep a fast path full between two wake-ups.
constexpr int kSocketBufferBytes = 4 << 20;

// The download payload: generated once and shared read-only by every download. Pseudo-random, so that
// nothing on the path can compress it and inflate the figures.
const unsigned char *download_block() {
  static const std::vector<unsigned char> block = [] {
    std::vector<unsigned char> b(kBlockBytes);
    uint64_t x = 0x9e3779b97f4a7c15ull;
    for (auto &byte : b) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      byte = static_cast<unsigned char>(x >> 32);
    }
    return b;
  }();
  return block.data();
}

struct Conn {
  sock_t sock = KS_INVALID_SOCKET;  // under Server::mu: server_stop shuts it down while its thread runs
  std::thread thread;
  std::atomic<bool> done{false};  // the thread has let go of this record and may be joined
};

// How a connection ended, for the log and for the style of the close.
enum class End { client_closed, reset, max_stream, stalled, stopped, timed_out, unknown_command };

const char *end_text(End end) {
  switch (end) {
    case End::client_closed:
      return "client closed";
    case End::reset:
      return "connection reset";
    case End::max_stream:
      return "max stream length reached";
    case End::stalled:
      return "stalled";
    case End::stopped:
      return "server stopping";
    case End::timed_out:
      return "no command in time";
    case End::unknown_command:
      return "unknown command";
  }
  return "?";
}

// A peer that moves no data, or a stop, ends with a reset: the kernel then drops what is still queued
// for it at once instead of keeping it for a client that may never read.
bool ends_hard(End end) { return end == End::stalled || end == End::stopped || end == End::reset; }

enum class Io { ok, closed, failed, timed_out, stopped };

}  // namespace

class Server {
 public:
  ServerConfig config;
  sock_t listener = KS_INVALID_SOCKET;
  int port = 0;
  std::thread acceptor;
  std::atomic<bool> stopping{false};

  std::atomic<uint64_t> connections{0}, rejected{0}, active{0}, dropped{0};
  std::atomic<uint64_t> pings{0}, downloads{0}, uploads{0}, bytes_sent{0}, bytes_received{0};
  std::atomic<int> finished{0};  // connection threads done but not yet joined

  std::mutex mu;  // the list's shape and every Conn::sock
  std::list<Conn> conns;

  std::mutex log_mu;  // one line at a time, and localtime's shared buffer
};

namespace {

void emit(Server &srv, const char *text) {
  if (srv.config.quiet) return;
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const int ms =
      static_cast<int>(std::chrono::duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
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

std::string error_text(int code) { return std::system_category().message(code); }

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
  if (sa->sa_family == AF_INET6) return std::string("[") + host + "]:" + serv;
  return std::string(host) + ":" + serv;
}

std::string peer_text(sock_t s) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getpeername(s, reinterpret_cast<sockaddr *>(&ss), &len) != 0) return "?";
  return address_text(reinterpret_cast<const sockaddr *>(&ss), len);
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

double mbit_per_s(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) * 8 / 1e6 / seconds : 0.0;
}

// One receive of up to len bytes, retried over slice expiries until something arrives, the peer closes
// or fails, the deadline passes or the server stops.
Io recv_some(Server &srv, sock_t s, void *buf, int len, Clock::time_point deadline, int *got) {
  for (;;) {
    if (srv.stopping.load(std::memory_order_relaxed)) return Io::stopped;
    const int n = sock_recv(s, buf, len);
    if (n > 0) {
      *got = n;
      return Io::ok;
    }
    if (n == 0) return Io::closed;
    if (!err_is_retryable(sock_error())) return Io::failed;
    if (Clock::now() >= deadline) return Io::timed_out;
  }
}

Io recv_exact(Server &srv, sock_t s, unsigned char *buf, int len, Clock::time_point deadline) {
  for (int have = 0; have < len;) {
    int got = 0;
    const Io r = recv_some(srv, s, buf + have, len - have, deadline, &got);
    if (r != Io::ok) return r;
    have += got;
  }
  return Io::ok;
}

Io send_exact(Server &srv, sock_t s, const unsigned char *buf, int len, Clock::time_point deadline) {
  for (int done = 0; done < len;) {
    if (srv.stopping.load(std::memory_order_relaxed)) return Io::stopped;
    const int n = sock_send(s, buf + done, len - done);
    if (n > 0) {
      done += n;
    } else if (n < 0 && err_is_retryable(sock_error())) {
      if (Clock::now() >= deadline) return Io::timed_out;
    } else {
      return Io::failed;
    }
  }
  return Io::ok;
}

End end_of(Io r) {
  switch (r) {
    case Io::closed:
      return End::client_closed;
    case Io::failed:
      return End::reset;
    case Io::stopped:
      return End::stopped;
    default:
      return End::timed_out;
  }
}

// "P": the 8 bytes after the command come back unchanged. The whole probe must arrive within the
// command time limit, however the client splits it.
End serve_ping(Server &srv, sock_t s, Clock::time_point deadline) {
  unsigned char stamp[8];
  Io r = recv_exact(srv, s, stamp, sizeof stamp, deadline);
  if (r != Io::ok) {
    if (r != Io::stopped) srv.dropped++;
    return end_of(r);
  }
  r = send_exact(srv, s, stamp, sizeof stamp, deadline);
  if (r != Io::ok) return end_of(r);
  srv.pings++;
  // The client closes once it holds the reply. Waiting for that close leaves the TIME_WAIT state with
  // the client instead of piling it up on a server that answers probes all day. Anything more the
  // client sends is not part of the protocol and is read away.
  unsigned char sink[64];
  int got = 0;
  while ((r = recv_some(srv, s, sink, sizeof sink, deadline, &got)) == Io::ok) {
  }
  return r == Io::stopped ? End::stopped : End::client_closed;
}

// "D": the shared block, sent again and again until the client goes away.
End serve_download(Server &srv, sock_t s, const std::string &peer) {
  sock_set_int(s, SOL_SOCKET, SO_SNDBUF, kSocketBufferBytes);
  const unsigned char *block = download_block();
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(srv.config.max_stream_seconds);
  const auto stall = milliseconds(srv.config.stall_timeout_ms);
  auto last_move = start;
  auto now = start;
  uint64_t sent = 0;
  End end = End::client_closed;
  for (;;) {
    if (srv.stopping.load(std::memory_order_relaxed)) {
      end = End::stopped;
      break;
    }
    // A send that times out within its slice may still have queued part of the block; only a send that
    // moved nothing for the whole stall time means the client has stopped reading.
    const int n = sock_send(s, block, kBlockBytes);
    now = Clock::now();
    if (n > 0) {
      sent += static_cast<uint64_t>(n);
      srv.bytes_sent.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
      last_move = now;
    } else if (n < 0 && err_is_retryable(sock_error())) {
      if (now - last_move >= stall) {
        end = End::stalled;
        break;
      }
    } else {
      // The client closing mid-stream is how a download normally ends: its unread data turns the
      // close into a reset, and our next send fails.
      end = End::client_closed;
      break;
    }
    if (now >= deadline) {
      end = End::max_stream;
      break;
    }
  }
  if (srv.config.stats) {
    const double secs = seconds_between(start, now);
    char line[256];
    std::snprintf(line, sizeof line, "download to %s: %llu bytes sent in %.3f s, %.1f Mbit/s (%s)",
                  peer.c_str(), static_cast<unsigned long long>(sent), secs, mbit_per_s(sent, secs),
                  end_text(end));
    emit(srv, line);
  }
  srv.downloads++;  // after the line: whoever sees the count can also find the line
  return end;
}

// "U": everything the client sends is counted and dropped until it closes. The rate in the log runs from
// the first to the last payload byte, the span the client itself can time.
End serve_upload(Server &srv, sock_t s, const std::string &peer) {
  // The large receive buffer came with the socket from the listener.
  std::vector<unsigned char> buf(kUploadBufferBytes);
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(srv.config.max_stream_seconds);
  const auto stall = milliseconds(srv.config.stall_timeout_ms);
  auto first = start;
  auto last = start;
  uint64_t received = 0;
  End end = End::client_closed;
  for (;;) {
    if (srv.stopping.load(std::memory_order_relaxed)) {
      end = End::stopped;
      break;
    }
    const int n = sock_recv(s, buf.data(), static_cast<int>(buf.size()));
    const auto now = Clock::now();
    if (n > 0) {
      if (received == 0) first = now;
      received += static_cast<uint64_t>(n);
      srv.bytes_received.fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);
      last = now;
    } else if (n == 0) {
      end = End::client_closed;
      break;
    } else if (err_is_retryable(sock_error())) {
      if (now - last >= stall) {
        end = End::stalled;
        break;
      }
    } else {
      end = End::reset;
      break;
    }
    if (now >= deadline) {
      end = End::max_stream;
      break;
    }
  }
  if (srv.config.stats) {
    const double secs = seconds_between(first, last);
    char line[256];
    std::snprintf(line, sizeof line,
                  "upload from %s: %llu bytes received in %.3f s first to last byte, %.1f Mbit/s (%s)",
                  peer.c_str(), static_cast<unsigned long long>(received), secs, mbit_per_s(received, secs),
                  end_text(end));
    emit(srv, line);
  }
  srv.uploads++;
  return end;
}

End serve_commands(Server &srv, sock_t s) {
  // Accepted sockets inherit the listener's non-blocking mode on some platforms.
  sock_set_nonblocking(s, false);
  sock_set_int(s, IPPROTO_TCP, TCP_NODELAY, 1);
  sock_set_recv_timeout(s, kSliceMs);
  sock_set_send_timeout(s, kSliceMs);

  const auto deadline = Clock::now() + milliseconds(srv.config.command_timeout_ms);
  unsigned char command = 0;
  int got = 0;
  const Io r = recv_some(srv, s, &command, 1, deadline, &got);
  if (r != Io::ok) {
    if (r != Io::stopped) srv.dropped++;
    return end_of(r);
  }
  switch (command) {
    case 'P':
      return serve_ping(srv, s, deadline);
    case 'D':
      return serve_download(srv, s, srv.config.stats ? peer_text(s) : std::string());
    case 'U':
      return serve_upload(srv, s, srv.config.stats ? peer_text(s) : std::string());
    default:
      srv.dropped++;
      return End::unknown_command;
  }
}

void serve_connection(Server *srv, Conn *conn) {
  const sock_t s = conn->sock;
  End end = End::reset;
  try {
    end = serve_commands(*srv, s);
  } catch (...) {
    // Only an upload buffer that cannot be had throws: this connection ends, the server goes on.
  }
  {
    std::lock_guard<std::mutex> lock(srv->mu);
    if (ends_hard(end)) sock_set_hard_close(s);
    sock_close(s);
    conn->sock = KS_INVALID_SOCKET;
  }
  srv->active--;
  srv->finished++;
  conn->done.store(true);  // the last touch of the record: from here on it may be joined and freed
}

// Joins and frees the records of finished connections. Only the accept thread changes the list's shape.
void reap(Server &srv) {
  if (srv.finished.load() == 0) return;
  std::lock_guard<std::mutex> lock(srv.mu);
  for (auto it = srv.conns.begin(); it != srv.conns.end();) {
    if (it->done.load()) {
      it->thread.join();
      it = srv.conns.erase(it);
      srv.finished--;
    } else {
      ++it;
    }
  }
}

void admit(Server &srv, sock_t c) {
  srv.connections++;
  if (srv.active.load() >= static_cast<uint64_t>(srv.config.max_connections)) {
    // Refused with a reset: no TIME_WAIT is left behind for each connection of a flood.
    srv.rejected++;
    sock_set_hard_close(c);
    sock_close(c);
    return;
  }
  srv.active++;
  std::lock_guard<std::mutex> lock(srv.mu);
  srv.conns.emplace_back();
  Conn &conn = srv.conns.back();
  conn.sock = c;
  try {
    conn.thread = std::thread(serve_connection, &srv, &conn);
  } catch (const std::system_error &) {
    srv.conns.pop_back();
    srv.active--;
    srv.rejected++;
    sock_set_hard_close(c);
    sock_close(c);
  }
}

// Sets the connection's congestion control by name; false with errno's text in *why where it cannot.
// Linux offers the option per socket (TCP_CONGESTION); where the headers lack it, there is nothing to set.
bool set_congestion(sock_t s, const std::string &algorithm, std::string *why) {
#ifdef TCP_CONGESTION
  if (setsockopt(s, IPPROTO_TCP, TCP_CONGESTION, algorithm.data(),
                 static_cast<socklen_t>(algorithm.size())) == 0) {
    return true;
  }
  *why = std::strerror(errno);
#else
  (void)s;
  (void)algorithm;
  *why = "TCP_CONGESTION is not supported on this platform";
#endif
  return false;
}

// Tries the algorithm on a socket of its own, so that a name the kernel does not offer is an error at
// start-up rather than a silent default on every connection.
bool congestion_available(const std::string &algorithm, std::string *why) {
  const sock_t probe = sock_open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (probe == KS_INVALID_SOCKET) {
    *why = "cannot open a socket to try it";
    return false;
  }
  const bool ok = set_congestion(probe, algorithm, why);
  sock_close(probe);
  return ok;
}

void accept_loop(Server *srv) {
  while (!srv->stopping.load()) {
    reap(*srv);
    if (sock_wait_readable(srv->listener, kSliceMs) <= 0 || srv->stopping.load()) continue;
    const sock_t c = ::accept(srv->listener, nullptr, nullptr);
    if (c == KS_INVALID_SOCKET) {
      // Out of descriptors, the connection stays queued and the listener stays readable: pause rather
      // than spin on it. A connection that went away before we took it costs the same short pause.
      if (!err_is_retryable(sock_error())) sleep_ms(kSliceMs / 4);
      continue;
    }
    std::string ignored;
    if (!srv->config.congestion.empty())
      set_congestion(c, srv->config.congestion, &ignored);  // tried at start
    admit(*srv, c);
  }
}

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
  // Accepted sockets inherit the receive buffer, and only a buffer set before the handshake also
  // widens the window the peer is offered.
  sock_set_int(s, SOL_SOCKET, SO_RCVBUF, kSocketBufferBytes);
  if (::bind(s, addr, len) != 0 || ::listen(s, SOMAXCONN) != 0) {
    *why = error_text(sock_error());
    sock_close(s);
    return KS_INVALID_SOCKET;
  }
  // Non-blocking, so that a connection that vanishes between the wait and accept cannot park the accept
  // thread.
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
  std::string host = bind;
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
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
  } else if (c.max_connections < 1) {
    *error = "max connections must be at least 1";
  } else if (c.command_timeout_ms < 1 || c.stall_timeout_ms < 1) {
    *error = "time limits must be positive";
  } else if (c.max_stream_seconds < 1) {
    *error = "max stream must be at least 1 second";
  } else {
    return true;
  }
  return false;
}

}  // namespace

Server *server_start(const ServerConfig &config, std::string *error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (!check_config(config, error)) return nullptr;
  if (net_startup() != 0) {
    *error = "cannot start the socket layer";
    return nullptr;
  }
  std::string why;
  if (!config.congestion.empty() && !congestion_available(config.congestion, &why)) {
    *error = "congestion control '" + config.congestion + "' is not available: " + why;
    net_shutdown();
    return nullptr;
  }
  const sock_t listener =
      config.bind.empty() ? open_any(config.port, &why) : open_bound(config.bind, config.port, &why);
  if (listener == KS_INVALID_SOCKET) {
    const std::string where = config.bind.empty() ? std::string("all addresses") : config.bind;
    *error = "cannot listen on " + where + " port " + std::to_string(config.port) + ": " + why;
    net_shutdown();
    return nullptr;
  }
  download_block();  // generated now rather than on the first download, which would be timed

  auto *srv = new Server;
  srv->config = config;
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
  try {
    srv->acceptor = std::thread(accept_loop, srv);
  } catch (const std::system_error &) {
    *error = "cannot start the accept thread";
    sock_close(listener);
    delete srv;
    net_shutdown();
    return nullptr;
  }
  char line[256];
  std::snprintf(line, sizeof line, "listening on %s%s", where.c_str(),
                config.bind.empty() && ss.ss_family == AF_INET6 ? " (IPv6 and IPv4)" : "");
  emit(*srv, line);
  return srv;
}

int server_port(const Server *server) { return server != nullptr ? server->port : 0; }

ServerStats server_stats(const Server *server) {
  ServerStats st;
  if (server == nullptr) return st;
  st.connections = server->connections.load();
  st.rejected = server->rejected.load();
  st.active = server->active.load();
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
  // Where the platform allows it this wakes the accept thread's wait at once; elsewhere the wait ends
  // with its slice.
  sock_shutdown_both(server->listener);
  server->acceptor.join();  // from here on nobody changes the list's shape
  {
    // Wakes threads blocked on their socket at once where the platform allows; elsewhere they notice
    // the stop at the end of their slice.
    std::lock_guard<std::mutex> lock(server->mu);
    for (Conn &conn : server->conns) {
      if (conn.sock != KS_INVALID_SOCKET) sock_shutdown_both(conn.sock);
    }
  }
  for (Conn &conn : server->conns) conn.thread.join();
  server->conns.clear();
  sock_close(server->listener);
  char line[128];
  std::snprintf(line, sizeof line, "stopped after %llu connections (%llu refused)",
                static_cast<unsigned long long>(server->connections.load()),
                static_cast<unsigned long long>(server->rejected.load()));
  emit(*server, line);
  delete server;
  net_shutdown();
}
