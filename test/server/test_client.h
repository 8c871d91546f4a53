// A small, strict client for the server tests: every wait is bounded and every socket is closed by the
// object that owns it, whatever way a test leaves.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "platform.h"

// The longest any single client wait in the server tests may take.
constexpr int kClientWaitMs = 2000;

class Client {
 public:
  Client() = default;
  explicit Client(sock_t s) : sock_(s) {}
  Client(Client &&other) noexcept : sock_(other.sock_) { other.sock_ = KS_INVALID_SOCKET; }
  Client &operator=(Client &&other) noexcept;
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;
  ~Client() { close(); }

  bool ok() const { return sock_ != KS_INVALID_SOCKET; }
  sock_t get() const { return sock_; }
  void close();
  // Closes with a reset instead of an orderly close.
  void reset();

  // Sends all of buf; false when the connection failed or stayed blocked for kClientWaitMs.
  bool send_all(const void *buf, int len);
  // Receives up to len bytes in one call: >0 bytes, 0 the server closed, -1 an error or the time limit.
  int recv_some(void *buf, int len);
  // Receives exactly len bytes; false on close, error or time limit.
  bool recv_exact(void *buf, int len);
  // Reads and discards until the server ends the connection (an orderly close or a reset): true when it
  // did within within_ms.
  bool server_closes_within(int within_ms);
  // The same, and how: true only when the server's end was a reset (what a client must read as a failed
  // transfer); false for an orderly close or no end within within_ms.
  bool server_resets_within(int within_ms);

 private:
  sock_t sock_ = KS_INVALID_SOCKET;
};

// Connects to a numeric address and port (the network kit's connect, within kClientWaitMs), with
// kClientWaitMs send and receive limits; a Client that is not ok() on failure. With from (a numeric
// address of this machine, 127.0.0.2 say) the connection comes from that address: the server's limits per
// source count by it.
Client dial(const std::string &host, int port, const std::string &from = "");

// One ping exchange of the network kit: "P" and 8 bytes, and the same 8 bytes back within kClientWaitMs.
// True when the echo matched.
bool ping(const std::string &host, int port, const std::string &from = "");

// Whether this machine can bind the IPv6 loopback address.
bool have_ipv6_loopback();

// Polls pred every few milliseconds until it holds or within_ms has passed; its last answer.
template <class Pred>
bool eventually(Pred pred, int within_ms = kClientWaitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(within_ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return pred();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}
