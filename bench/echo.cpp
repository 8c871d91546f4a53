/*
 * bench-echo: the smallest server that answers the ping probe, for a reference beside kestrum-server.
 * One thread, blocking calls, one connection at a time, nothing else:
 *
 *     bench-echo PORT
 *
 * listens on 127.0.0.1:PORT; for each connection reads the 9-byte probe, sends its last 8 bytes back and
 * waits for the client's close, as kestrum-server does. Every socket has 2 s receive and send limits, so
 * a silent client holds it at most that long; they are set once on the listener, whose connections take
 * them over (Linux), so that no call of its own stands between a connection and its answer. The same
 * limit ends each wait in accept, which is how a stop is noticed. Stops on SIGTERM or SIGINT. The probe's
 * sizes are the wire protocol's own (src/wire.h). Built with the project (bench/CMakeLists.txt).
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "wire.h"

namespace {
volatile std::sig_atomic_t g_stop;
void on_signal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench-echo PORT\n");
    return 2;
  }
  struct sigaction sa = {};
  sa.sa_handler = on_signal;  // no SA_RESTART: accept returns on the signal
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  const int l = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<unsigned short>(std::atoi(argv[1])));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv = {2, 0};
  setsockopt(l, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(l, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l, 128) != 0) {
    std::perror("bench-echo: listen");
    return 1;
  }
  while (!g_stop) {
    const int c = accept(l, nullptr, nullptr);
    if (c < 0) continue;
    unsigned char probe[kPingProbeSize];
    size_t have = 0;
    ssize_t n = 1;
    while (have < sizeof probe && (n = recv(c, probe + have, sizeof probe - have, 0)) > 0) {
      have += static_cast<size_t>(n);
    }
    if (have == sizeof probe && send(c, probe + 1, kPingReplySize, 0) == kPingReplySize) {
      char sink[64];
      while (recv(c, sink, sizeof sink, 0) > 0) {
      }
    }
    close(c);
  }
  close(l);
  return 0;
}
