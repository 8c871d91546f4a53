// Loopback socket helpers of the test kit, on the library's platform layer so that every suite (and the
// Windows build) uses the same ones: a listener on an ephemeral port, a port where nothing listens, a port
// that never answers, and the two ways of closing. Each function that opens a socket closes it on every
// path, or hands it to the caller. listen_loopback and connect_loopback need the socket layer started
// (net_startup) by their caller; the rest start it themselves.
#pragma once

#include "platform.h"

// A listening socket on address ("127.0.0.1", "::1") and an ephemeral port, with the given accept queue
// length; the port is stored in *port. KS_INVALID_SOCKET when it cannot be made.
sock_t listen_loopback(const char *address, int backlog, int *port);

// A plain blocking connect to 127.0.0.1:port, or [::1]:port for AF_INET6. The socket is returned even
// when the attempt failed (the caller closes it); KS_INVALID_SOCKET only when none could be opened.
sock_t connect_loopback(int port, int family = AF_INET);

// A loopback port with nothing listening on it: a connection attempt is refused. The port was free a
// moment ago; nothing in the tests binds ephemeral ports on purpose, so it stays free.
int unused_port();

// Closes with a reset (SO_LINGER {on, 0}): unsent data is dropped and the peer sees a reset.
void hard_close(sock_t s);
// Closes in order: both directions shut down, then the handle released.
void orderly_close(sock_t s);

// A listener with a full accept queue that never accepts: the kernel drops further connection requests,
// so a connection attempt to port() gets no answer and runs into the client's time limit.
class UnansweredPort {
 public:
  UnansweredPort();
  ~UnansweredPort();
  UnansweredPort(const UnansweredPort &) = delete;
  UnansweredPort &operator=(const UnansweredPort &) = delete;
  int port() const { return port_; }
  bool ok() const { return ok_; }

 private:
  static constexpr int kFillers = 4;
  sock_t listen_ = KS_INVALID_SOCKET;
  sock_t fillers_[kFillers];
  int port_ = 0;
  bool ok_ = false;
};
