#include "test_client.h"

#include <cstring>
#include <vector>

Client &Client::operator=(Client &&other) noexcept {
  if (this != &other) {
    close();
    sock_ = other.sock_;
    other.sock_ = KS_INVALID_SOCKET;
  }
  return *this;
}

void Client::close() {
  if (sock_ == KS_INVALID_SOCKET) return;
  sock_close(sock_);
  sock_ = KS_INVALID_SOCKET;
}

void Client::reset() {
  if (sock_ == KS_INVALID_SOCKET) return;
  sock_set_hard_close(sock_);
  close();
}

bool Client::send_all(const void *buf, int len) {
  const auto *p = static_cast<const unsigned char *>(buf);
  for (int done = 0; done < len;) {
    const int n = sock_send(sock_, p + done, len - done);
    if (n <= 0) return false;  // the send time limit is kClientWaitMs, so a retryable error is a failure too
    done += n;
  }
  return true;
}

int Client::recv_some(void *buf, int len) {
  for (;;) {
    const int n = sock_recv(sock_, buf, len);
    if (n >= 0) return n;
    // Only a signal is retried: a timeout is the limit of this wait.
    if (!err_is_interrupted(sock_error())) return -1;
  }
}

bool Client::recv_exact(void *buf, int len) {
  auto *p = static_cast<unsigned char *>(buf);
  for (int have = 0; have < len;) {
    const int n = recv_some(p + have, len - have);
    if (n <= 0) return false;
    have += n;
  }
  return true;
}

// Reads and discards until the server ends the connection or within_ms passes: 0 an orderly close, 1 a
// reset (or another error), -1 no end.
static int read_to_end(sock_t s, int within_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(within_ms);
  std::vector<unsigned char> sink(256 * 1024);
  sock_set_recv_timeout(s, 50);
  int end = -1;
  while (end < 0 && std::chrono::steady_clock::now() < deadline) {
    const int n = sock_recv(s, sink.data(), static_cast<int>(sink.size()));
    if (n == 0) end = 0;
    if (n < 0 && !err_is_retryable(sock_error())) end = 1;
  }
  sock_set_recv_timeout(s, kClientWaitMs);
  return end;
}

bool Client::server_closes_within(int within_ms) { return read_to_end(sock_, within_ms) >= 0; }

bool Client::server_resets_within(int within_ms) { return read_to_end(sock_, within_ms) == 1; }

// The first address of a numeric host and port, or null; the caller frees it.
static addrinfo *numeric(const std::string &host, const char *port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;  // the tests never ask a resolver
  addrinfo *list = nullptr;
  if (getaddrinfo(host.c_str(), port, &hints, &list) != 0) return nullptr;
  return list;
}

Client dial(const std::string &host, int port, const std::string &from) {
  addrinfo *list = numeric(host, std::to_string(port).c_str());
  if (list == nullptr) return Client();
  Client c(sock_open(list->ai_family, SOCK_STREAM, IPPROTO_TCP));
  if (c.ok() && !from.empty()) {
    addrinfo *source = numeric(from, "0");
    const bool bound = source != nullptr &&
                       ::bind(c.get(), source->ai_addr, static_cast<socklen_t>(source->ai_addrlen)) == 0;
    if (source != nullptr) freeaddrinfo(source);
    if (!bound) c.close();
  }
  bool connected = false;
  if (c.ok()) {
    sock_set_nonblocking(c.get(), true);
    if (::connect(c.get(), list->ai_addr, static_cast<socklen_t>(list->ai_addrlen)) == 0) {
      connected = true;
    } else if (err_is_in_progress(sock_error()) &&
               sock_wait_connect(c.get(), kClientWaitMs) == ConnectWait::ready) {
      int err = -1;
      connected = sock_pending_error(c.get(), &err) && err == 0;
    }
  }
  freeaddrinfo(list);
  if (!connected) return Client();
  sock_set_nonblocking(c.get(), false);
  sock_set_int(c.get(), IPPROTO_TCP, TCP_NODELAY, 1);
  sock_set_recv_timeout(c.get(), kClientWaitMs);
  sock_set_send_timeout(c.get(), kClientWaitMs);
  return c;
}

bool ping(const std::string &host, int port, const std::string &from) {
  Client c = dial(host, port, from);
  if (!c.ok()) return false;
  const unsigned char probe[9] = {'P', 0x10, 0x32, 0x54, 0x76, 0x98, 0xba, 0xdc, 0xfe};
  unsigned char reply[8] = {};
  return c.send_all(probe, sizeof probe) && c.recv_exact(reply, sizeof reply) &&
         std::memcmp(reply, probe + 1, sizeof reply) == 0;
}

bool have_ipv6_loopback() {
  const sock_t s = sock_open(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
  if (s == KS_INVALID_SOCKET) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(s, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0;
  sock_close(s);
  return ok;
}
