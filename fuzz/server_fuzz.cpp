// Fuzzes kestrum-server's handling of what clients send: each input is a handful of connections to an
// in-process server on a loopback port, each carrying arbitrary bytes and ending in one of three ways
// (half-close and read the answer, reset, plain close). The answers must follow the protocol, and after
// every input the server must still answer a well-formed ping.
//
// Input: repeated [length][ending][length bytes...], at most kMaxConnections connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "loopback.h"
#include "server.h"
#include "transport.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxConnections = 6;
constexpr size_t kReadCap = 64 * 1024;  // a download is sampled, not drained

Server *g_server = nullptr;

[[noreturn]] void fail(const char *what, const std::string &detail) {
  std::fprintf(stderr, "server_fuzz: %s: %s\n", what, detail.c_str());
  std::abort();
}

void start_once() {
  if (g_server != nullptr) return;
  ServerConfig config;
  config.bind = "127.0.0.1";
  config.port = 0;
  config.quiet = true;
  // Short limits, so a client that stays silent costs the fuzzer little time.
  config.command_timeout_ms = 200;
  config.rate_window_ms = 200;
  config.max_stream_seconds = 1;
  // Every connection of an input may be a download, and all come from 127.0.0.1: the stream limits must
  // not refuse one, as what is fuzzed here is the handling of commands, not the limits.
  config.max_streams = 4 * kMaxConnections;
  config.max_streams_per_source = 4 * kMaxConnections;
  std::string error;
  g_server = server_start(config, &error);
  if (g_server == nullptr) fail("server_start", error);
  std::atexit([] { server_stop(g_server); });
}

sockaddr_in server_address() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(server_port(g_server)));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// A connection to the server through the kit, whose waits take libFuzzer's timer signal in their stride
// (a SYN that met one of the server's TIME_WAIT connections on the same ports is sent again a second
// later, so the limit is generous).
int connect_server() {
  const sockaddr_in a = server_address();
  sock_t s = KS_INVALID_SOCKET;
  const ConnectResult r =
      connect_address(reinterpret_cast<const sockaddr *>(&a), sizeof a, nullptr, 0, 5000, nullptr, &s);
  if (r != ConnectResult::ok) fail("connect", "the server did not take a connection within 5 s");
  sock_set_recv_timeout(s, 20);
  sock_set_send_timeout(s, 20);
  sock_set_int(s, IPPROTO_TCP, TCP_NODELAY, 1);
  return s;
}

void send_all(int s, const std::string &bytes) {
  size_t at = 0;
  for (int i = 0; at < bytes.size() && i < 200; ++i) {
    const ssize_t r = ::send(s, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (r > 0)
      at += static_cast<size_t>(r);
    else if (r < 0 && errno != EAGAIN && errno != EINTR)
      break;  // the server may close early
  }
}

// Reads until the server closes, kReadCap bytes have come, or 2 s pass (the server's own limits are
// 200 ms, so a healthy server has closed long before).
std::string read_answer(int s, bool *closed) {
  std::string got;
  char buf[8192];
  *closed = false;
  const auto until = Clock::now() + std::chrono::seconds(2);
  while (got.size() < kReadCap && Clock::now() < until) {
    const ssize_t r = ::recv(s, buf, sizeof buf, 0);
    if (r > 0) {
      got.append(buf, static_cast<size_t>(r));
    } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
      *closed = true;
      break;
    }
  }
  return got;
}

// What the protocol allows as the answer to `sent` from a client that then half-closed.
void check_answer(const std::string &sent, const std::string &answer, bool closed) {
  if (sent.empty()) {
    if (!answer.empty()) fail("answer to an empty connection", std::to_string(answer.size()));
  } else if (sent[0] == 'P') {
    const std::string expected = sent.size() >= 9 ? sent.substr(1, 8) : std::string();
    if (answer != expected) fail("ping answer is not the 8 bytes sent", std::to_string(answer.size()));
  } else if (sent[0] == 'D') {
    if (answer.empty()) fail("download sent nothing", "");
    return;  // the stream goes on until we close
  } else if (!answer.empty()) {
    fail("answer to an upload or an unknown command", std::to_string(answer.size()));
  }
  if (!closed) fail("the server kept a finished connection open", sent.substr(0, 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  start_once();
  size_t at = 0;
  for (int n = 0; n < kMaxConnections && at + 2 <= size; ++n) {
    const size_t len = data[at];
    const uint8_t ending = data[at + 1] % 3;
    at += 2;
    const size_t take = len < size - at ? len : size - at;
    const std::string sent(reinterpret_cast<const char *>(data + at), take);
    at += take;

    const int s = connect_server();
    send_all(s, sent);
    if (ending == 0) {
      ::shutdown(s, SHUT_WR);
      bool closed = false;
      const std::string answer = read_answer(s, &closed);
      check_answer(sent, answer, closed);
      // The conversation is over: a reset keeps no TIME_WAIT here. The server answers a few thousand
      // connections a second, and TIME_WAITs held for a minute would use up the loopback's ports.
      hard_close(s);
    } else if (ending == 1) {
      hard_close(s);
    } else {
      ::close(s);
    }
  }

  // Whatever came before, a well-formed ping is still answered, with its own 8 bytes.
  const sockaddr_in a = server_address();
  PingPeer peer;
  peer.addr = reinterpret_cast<const sockaddr *>(&a);
  peer.addr_len = sizeof a;
  const PingSample ping = ping_sample(peer, {5000, 2000}, nullptr);
  if (ping.result != PingResult::ok || !ping.echoed) fail("the server stopped answering pings", "");

  // Let the server finish every connection of this input before the next begins. An upload's buffer
  // lives as long as its connection thread, and a leak check between inputs must not find it half way.
  // A server that does not wind down its connections in time is a failure of its own.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (server_stats(g_server).active > 0) {
    if (std::chrono::steady_clock::now() > until)
      fail("connections still open 5 s after their clients left", "");
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}
