// What kestrum-server needs from the platform beyond the shared layer in platform.h: a readiness poller
// for its admission loop, a receive that discards, and the open-files limit. One name, one implementation
// per platform (server_platform_linux.cpp, server_platform_win32.cpp); nothing above this header knows
// which one it runs on.
#pragma once

#include <cstdint>
#include <string>

#include "platform.h"

// --- readiness poller ------------------------------------------------------------------------------------
// Level-triggered read readiness of many sockets, each registered with a 64-bit tag of the caller's
// choosing. Linux: epoll, so an idle socket costs nothing per wait. Windows: WSAPoll over an array, which
// Wine implements as well.
struct Poller;

struct PollEvent {
  uint64_t tag;
  bool readable;  // data, a connection to accept, or the peer's close or reset (recv tells which)
  bool hangup;    // the peer has closed or reset: nothing more will come (readable is set as well)
};

// A new poller, or null when the platform refuses one.
Poller *poller_open();
// Releases the poller; the sockets in it stay open and are the caller's to close.
void poller_close(Poller *p);
// Watches s for reading under tag; false when it cannot (the caller then closes s).
bool poller_add(Poller *p, sock_t s, uint64_t tag);
// Stops watching s, which stays open (a connection handed on to another thread, say).
void poller_remove(Poller *p, sock_t s);
// Stops watching s because the caller is about to close it. Linux: closing a socket takes it out of every
// epoll set, so this costs no call; elsewhere it is poller_remove.
void poller_forget(Poller *p, sock_t s);
// Waits at most timeout_ms and fills at most max events; their count, 0 when the time ran out, -1 when
// the wait failed (a signal included: callers simply wait again).
int poller_wait(Poller *p, PollEvent *events, int max, int timeout_ms);

// --- sockets -----------------------------------------------------------------------------------------------

// Takes one connection off a non-blocking listener and returns it non-blocking, its peer address in
// *addr; KS_INVALID_SOCKET with sock_error() set when there is none or it fails.
sock_t sock_accept_nonblocking(sock_t listener, sockaddr_storage *addr, socklen_t *len);
// sock_recv_discard, the receive that throws the bytes away (in the kernel on Linux), and
// sock_set_recv_batch, the receive that waits for a batch, are the platform layer's, shared with the
// library.
// Sets a socket's TCP congestion control by name (Linux: TCP_CONGESTION; set on a listener, it passes to
// every connection accepted from it); false with the reason in *why where it cannot, or where the
// platform has no such setting.
bool sock_set_congestion(sock_t s, const std::string &algorithm, std::string *why);
// The window the peer of a connected TCP socket offers right now: how many bytes past what it has
// acknowledged it has room for. Linux: TCP_INFO's tcpi_snd_wnd (kernels since 5.4; glibc's struct
// tcp_info stops before it). false where the platform cannot tell (Windows here): a download's rate then
// counts the acknowledged bytes alone.
bool sock_peer_window(sock_t s, uint64_t *window);
// The call failed for want of a descriptor (process or system table full, or no buffer space).
bool err_is_out_of_files(int code);

// --- process -----------------------------------------------------------------------------------------------

// Raises the soft open-files limit to the hard one; the soft limit afterwards, or -1 where the platform
// has no such limit (Windows: sockets are not counted against one).
long raise_open_files_limit();
// The soft open-files limit as it stands, or -1 where the platform has none.
long open_files_limit();
