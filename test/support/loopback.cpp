#include "loopback.h"

sock_t listen_loopback(const char *address, int backlog, int *port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
  addrinfo *ai = nullptr;
  if (getaddrinfo(address, "0", &hints, &ai) != 0) return KS_INVALID_SOCKET;
  sock_t s = sock_open(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (s == KS_INVALID_SOCKET) {
    freeaddrinfo(ai);
    return KS_INVALID_SOCKET;
  }
  if (::bind(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0 || listen(s, backlog) != 0) {
    sock_close(s);
    freeaddrinfo(ai);
    return KS_INVALID_SOCKET;
  }
  freeaddrinfo(ai);
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    sock_close(s);
    return KS_INVALID_SOCKET;
  }
  *port = addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port)
                                     : ntohs(reinterpret_cast<sockaddr_in *>(&addr)->sin_port);
  return s;
}

sock_t connect_loopback(int port, int family) {
  sock_t s = sock_open(family, SOCK_STREAM, IPPROTO_TCP);
  if (s == KS_INVALID_SOCKET) return s;
  if (family == AF_INET6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  return s;
}

int unused_port() {
  net_startup();
  int port = 0;
  const sock_t s = listen_loopback("127.0.0.1", 1, &port);
  if (s != KS_INVALID_SOCKET) sock_close(s);
  net_shutdown();
  return port;
}

void hard_close(sock_t s) {
  sock_set_hard_close(s);
  sock_close(s);
}

void orderly_close(sock_t s) {
  sock_shutdown_both(s);
  sock_close(s);
}

UnansweredPort::UnansweredPort() {
  for (sock_t &f : fillers_) f = KS_INVALID_SOCKET;
  net_startup();
  listen_ = listen_loopback("127.0.0.1", 0, &port_);
  if (listen_ == KS_INVALID_SOCKET) return;
  // Fill the accept queue with attempts of our own; once it is full the kernel drops further requests.
  for (sock_t &f : fillers_) {
    f = sock_open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (f == KS_INVALID_SOCKET) continue;
    sock_set_nonblocking(f, true);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(f, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  sleep_ms(50);
  ok_ = true;
}

UnansweredPort::~UnansweredPort() {
  for (sock_t f : fillers_) {
    if (f != KS_INVALID_SOCKET) sock_close(f);
  }
  if (listen_ != KS_INVALID_SOCKET) sock_close(listen_);
  net_shutdown();
}
