// Fuzzes kestrum-server's handling of what clients send: each input is a handful of connections to an
// in-process server on a loopback port, each carrying arbitrary bytes and ending in one of three ways
// (half-close and read the answer, reset, plain close). The answers must follow the protocol, and after
// every input the server must still answer a well-formed ping.
//
// Input: repeated [length][ending][length bytes...], at most kMaxConnections connections.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
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

int connect_server() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(server_port(g_server)));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0) fail("socket", std::strerror(errno));
  if (::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    // libFuzzer's timer signal may interrupt a connect whose SYN met one of the server's TIME_WAIT
    // connections on the same ports and is being sent again a second later; the connect goes on in the
    // kernel, so it is waited for (bounded) rather than counted as a failure.
    if (errno != EINTR) fail("connect", std::strerror(errno));
    pollfd p{s, POLLOUT, 0};
    const auto until = Clock::now() + std::chrono::seconds(5);
    int ready = 0;
    while (ready <= 0 && Clock::now() < until) {
      ready = ::poll(&p, 1, 100);
      if (ready < 0 && errno != EINTR) fail("connect", std::strerror(errno));
    }
    int err = ETIMEDOUT;
    socklen_t len = sizeof err;
    if (ready > 0) ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) fail("connect", std::strerror(err));
  }
  timeval tv{0, 20000};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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

  // Whatever came before, a well-formed ping is still answered.
  const int s = connect_server();
  const std::string probe = "P\x01\x02\x03\x04\x05\x06\x07\x08";
  send_all(s, probe);
  ::shutdown(s, SHUT_WR);
  bool closed = false;
  if (read_answer(s, &closed) != probe.substr(1)) fail("the server stopped answering pings", "");
  hard_close(s);

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
