// Windows side of the server's platform layer: WSAPoll, a plain accept and recv. WSAPoll rather than
// select: select takes at most FD_SETSIZE (64) sockets per set, and Wine implements WSAPoll as well.
#include <cerrno>
#include <unordered_map>
#include <vector>

#include "server_platform.h"

struct Poller {
  std::vector<WSAPOLLFD> fds;
  std::vector<uint64_t> tags;                   // beside fds, same index
  std::unordered_map<SOCKET, size_t> index_of;  // where each socket sits in fds
};

Poller *poller_open() { return new Poller; }

void poller_close(Poller *p) { delete p; }

bool poller_add(Poller *p, sock_t s, uint64_t tag) {
  if (p->index_of.count(s) != 0) return false;
  WSAPOLLFD f{};
  f.fd = s;
  f.events = POLLRDNORM;
  p->index_of[s] = p->fds.size();
  p->fds.push_back(f);
  p->tags.push_back(tag);
  return true;
}

void poller_remove(Poller *p, sock_t s) {
  const auto it = p->index_of.find(s);
  if (it == p->index_of.end()) return;
  // The last entry takes the removed one's place, so removal costs the same however many are watched.
  const size_t at = it->second;
  const size_t last = p->fds.size() - 1;
  if (at != last) {
    p->fds[at] = p->fds[last];
    p->tags[at] = p->tags[last];
    p->index_of[p->fds[at].fd] = at;
  }
  p->fds.pop_back();
  p->tags.pop_back();
  p->index_of.erase(it);
}

void poller_forget(Poller *p, sock_t s) { poller_remove(p, s); }

int poller_wait(Poller *p, PollEvent *events, int max, int timeout_ms) {
  if (p->fds.empty()) {
    Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  const int n = ::WSAPoll(p->fds.data(), static_cast<ULONG>(p->fds.size()), timeout_ms);
  if (n <= 0) return n < 0 ? -1 : 0;
  int out = 0;
  for (size_t i = 0; i < p->fds.size() && out < max; ++i) {
    if (p->fds[i].revents == 0) continue;
    events[out].tag = p->tags[i];
    events[out].readable = true;  // POLLRDNORM, POLLHUP or POLLERR: recv tells which
    events[out].hangup = (p->fds[i].revents & (POLLHUP | POLLERR)) != 0;
    ++out;
  }
  return out;
}

sock_t sock_accept_nonblocking(sock_t listener, sockaddr_storage *addr, socklen_t *len) {
  *len = sizeof *addr;
  const SOCKET s = ::accept(listener, reinterpret_cast<sockaddr *>(addr), len);
  // Winsock hands accepted sockets the listener's non-blocking mode; set it anyway, it is cheap.
  if (s != INVALID_SOCKET) sock_set_nonblocking(s, true);
  return s;
}

// Winsock takes SO_RCVLOWAT only as a value to read back.
bool sock_set_congestion(sock_t, const std::string &, std::string *why) {
  *why = "this platform has no per-connection congestion control";
  return false;
}

bool sock_peer_window(sock_t, uint64_t *) {
  // SIO_TCP_INFO reports a send window too, but nothing here has been checked against Windows itself;
  // the acknowledged count alone (the platform layer's sock_acked) is what a download's rate counts.
  return false;
}

bool err_is_out_of_files(int code) { return code == WSAEMFILE || code == WSAENOBUFS || code == EMFILE; }

long raise_open_files_limit() { return -1; }

long open_files_limit() { return -1; }
