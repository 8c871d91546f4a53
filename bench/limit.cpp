/*
 * bench-limit: the fastest one TCP connection on this machine can go through the very calls that kestrum
 * and kestrum-server make, with nothing else around them: no monitor thread, no latency probes, no clock
 * or counters beyond the byte count, no acknowledged-count reads until the end.
 *
 *     bench-limit serve PORT                 on 127.0.0.1:PORT until stopped: per connection, a command
 *                                            byte, then 'D' sends blocks until the client leaves, 'U'
 *                                            discards what arrives until the client closes
 *     bench-limit download|upload PORT SECONDS   one transfer against it; prints Mbit/s
 *
 * The client connects with the network kit's connect_timeout, so it gets the library's socket settings
 * (TCP_NODELAY, 1 MiB buffers) from the same code, and the library's 20 ms call limits. The server's end
 * takes kestrum-server's stream settings: blocking, TCP_NODELAY, 100 ms call limits, buffers left to the
 * kernel. The sizes of every send and receive, and the receive batches, come from src/bulk.h, which the
 * library and the server read too. An upload counts what the server's host acknowledged by the end, as
 * the library does. Connections are served one at a time. Built with the project (bench/CMakeLists.txt).
 */
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bulk.h"
#include "pseudo_random.h"
#include "transport.h"

namespace {

constexpr int kClientCallLimitMs = 20;   // the library's limit on every transfer call (src/tests.cpp)
constexpr int kServerCallLimitMs = 100;  // kestrum-server's slice (server/server_internal.h)

void serve_one(sock_t s, const std::vector<unsigned char> &block, std::vector<unsigned char> &scratch) {
  sock_set_int(s, IPPROTO_TCP, TCP_NODELAY, 1);
  sock_set_recv_timeout(s, kServerCallLimitMs);
  sock_set_send_timeout(s, kServerCallLimitMs);
  char command = 0;
  // A client that says nothing within a few slices is dropped.
  int n = -1;
  for (int tries = 0; tries < 50 && n < 0; ++tries) {
    n = sock_recv(s, &command, 1);
    if (n < 0 && !err_is_retryable(sock_error())) break;
  }
  if (n == 1 && command == kCmdDownload) {
    for (;;) {
      const int sent = sock_send(s, block.data(), kServerSendBytes);
      if (sent < 0 && !err_is_retryable(sock_error())) break;  // the client has gone
    }
  } else if (n == 1 && command == kCmdUpload) {
    bool batching = false;
    for (;;) {
      const int got = sock_recv_discard(s, scratch.data(), kServerReceiveBytes);
      if (got == 0) break;
      if (got < 0 && !err_is_retryable(sock_error())) break;
      if (got > 0 && !batching) {
        sock_set_recv_batch(s, kServerBatchBytes);
        batching = true;
      }
    }
  }
  close_fd(s, CloseHow::orderly);
}

int serve(int port) {
  const sock_t l = sock_open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (l == KS_INVALID_SOCKET) return 1;
  sock_set_listen_reuse(l);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(l, 16) != 0) {
    std::perror("bench-limit: bind/listen");
    sock_close(l);
    return 1;
  }
  const std::vector<unsigned char> block = pseudo_random_bytes(kServerSendBytes);
  std::vector<unsigned char> scratch(kServerReceiveBytes);
  for (;;) {
    const sock_t s = ::accept(l, nullptr, nullptr);
    if (s == KS_INVALID_SOCKET) {
      if (err_is_interrupted(sock_error())) continue;
      break;
    }
    serve_one(s, block, scratch);
  }
  sock_close(l);
  return 1;
}

int transfer(bool down, int port, double seconds) {
  sock_t s = KS_INVALID_SOCKET;
  if (connect_timeout("127.0.0.1", port, 3000, nullptr, &s) != ConnectResult::ok) {
    std::fprintf(stderr, "bench-limit: cannot connect to 127.0.0.1:%d\n", port);
    return 1;
  }
  const char command = down ? kCmdDownload : kCmdUpload;
  if (sock_send(s, &command, 1) != 1) {
    close_fd(s, CloseHow::hard);
    return 1;
  }
  sock_set_recv_timeout(s, kClientCallLimitMs);
  sock_set_send_timeout(s, kClientCallLimitMs);
  static std::vector<unsigned char> area(kDownloadReceiveBytes);
  const std::vector<unsigned char> payload = pseudo_random_bytes(kUploadPayloadBytes);

  const double start = now_us();
  const double end = start + seconds * 1e6;
  uint64_t total = 0;
  bool failed = false;
  double now = start;
  while ((now = now_us()) < end) {
    const int n = down ? sock_recv_discard(s, area.data(), kDownloadReceiveBytes)
                       : sock_send(s, payload.data(), kUploadPayloadBytes);
    if (n > 0) {
      total += static_cast<uint64_t>(n);
    } else if (n == 0 && down) {
      failed = true;
      break;
    } else if (n < 0 && !err_is_retryable(sock_error())) {
      failed = true;
      break;
    }
  }
  const double elapsed = (now_us() - start) / 1e6;
  if (!down) {
    uint64_t acked = 0;
    if (sock_acked(s, total + 1, &acked)) total = acked > 0 ? acked - 1 : 0;
  }
  close_fd(s, CloseHow::orderly);
  if (failed) {
    std::fprintf(stderr, "bench-limit: the transfer failed after %llu bytes\n",
                 static_cast<unsigned long long>(total));
    return 1;
  }
  std::printf("%.3f\n", static_cast<double>(total) * 8 / elapsed / 1e6);
  return 0;
}

int usage() {
  std::fputs("usage: bench-limit serve PORT | bench-limit download|upload PORT SECONDS\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return usage();
  const int port = std::atoi(argv[2]);
  if (port < 1 || port > 65535) return usage();
  std::signal(SIGPIPE, SIG_IGN);
  if (argc == 3 && std::strcmp(argv[1], "serve") == 0) return serve(port);
  if (argc == 4 && (std::strcmp(argv[1], "download") == 0 || std::strcmp(argv[1], "upload") == 0)) {
    const double seconds = std::atof(argv[3]);
    if (seconds <= 0 || seconds > 60) return usage();
    return transfer(std::strcmp(argv[1], "download") == 0, port, seconds);
  }
  return usage();
}
