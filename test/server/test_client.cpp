#include "test_client.h"

#include <vector>

#include "transport.h"

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
  addrinfo *to = numeric(host, std::to_string(port).c_str());
  addrinfo *source = from.empty() ? nullptr : numeric(from, "0");
  sock_t s = KS_INVALID_SOCKET;
  if (to != nullptr && (from.empty() || source != nullptr)) {
    connect_address(to->ai_addr, static_cast<int>(to->ai_addrlen), source ? source->ai_addr : nullptr,
                    source ? static_cast<int>(source->ai_addrlen) : 0, kClientWaitMs, nullptr, &s);
  }
  if (source != nullptr) freeaddrinfo(source);
  if (to != nullptr) freeaddrinfo(to);
  if (s == KS_INVALID_SOCKET) return Client();
  sock_set_int(s, IPPROTO_TCP, TCP_NODELAY, 1);
  sock_set_recv_timeout(s, kClientWaitMs);
  sock_set_send_timeout(s, kClientWaitMs);
  return Client(s);
}

bool ping(const std::string &host, int port, const std::string &from) {
  addrinfo *to = numeric(host, std::to_string(port).c_str());
  addrinfo *source = from.empty() ? nullptr : numeric(from, "0");
  bool answered = false;
  if (to != nullptr && (from.empty() || source != nullptr)) {
    PingPeer peer;
    peer.addr = to->ai_addr;
    peer.addr_len = static_cast<int>(to->ai_addrlen);
    if (source != nullptr) {
      peer.from = source->ai_addr;
      peer.from_len = static_cast<int>(source->ai_addrlen);
    }
    const PingSample sample = ping_sample(peer, {kClientWaitMs, kClientWaitMs}, nullptr);
    answered = sample.result == PingResult::ok && sample.echoed;
  }
  if (source != nullptr) freeaddrinfo(source);
  if (to != nullptr) freeaddrinfo(to);
  return answered;
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
