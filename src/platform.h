// The one place that knows Windows from Linux. Everything above this header speaks in these names only.
//
// Windows: Winsock 2 and Win32 (platform_win32.cpp). Linux with glibc: BSD sockets, poll, clock_gettime and
// pthreads (platform_linux.cpp). Each function below has the same meaning on both.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
using sock_t = SOCKET;
#define KS_INVALID_SOCKET INVALID_SOCKET
#elif defined(__linux__) && defined(__GLIBC__)
// Linux with glibc, and nothing else of its kind: the bounded thread wait below needs glibc's
// pthread_tryjoin_np, the upload's acknowledged count Linux's SIOCOUTQ and TCP_INFO, the download's
// discard MSG_TRUNC, and a source address whose port is left to the connect IP_BIND_ADDRESS_NO_PORT.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/types.h>
using sock_t = int;
#define KS_INVALID_SOCKET (-1)
#else
#error "unsupported platform: built and tested on Windows (Winsock 2) and on Linux with glibc"
#endif

// --- socket layer ----------------------------------------------------------------------------------------

// Starts the socket layer (WSAStartup 2.2); 0 on success. Linux has nothing to start.
int net_startup();
// Stops it again (WSACleanup); returns that call's result, 0 on Linux.
int net_shutdown();

// A new socket, or KS_INVALID_SOCKET. On Linux it is closed on exec, so a program the host starts does not
// inherit it.
sock_t sock_open(int family, int socktype, int protocol);
// Releases the handle (closesocket / close).
void sock_close(sock_t s);
void sock_set_nonblocking(sock_t s, bool on);
// Both directions (SD_BOTH / SHUT_RDWR).
void sock_shutdown_both(sock_t s);

// The code of the last failed socket call on this thread (WSAGetLastError / errno).
int sock_error();

// send and recv that never raise SIGPIPE (Linux: MSG_NOSIGNAL); the result as the platform call returns it.
int sock_send(sock_t s, const void *buf, int len);
int sock_recv(sock_t s, void *buf, int len);
// Receives up to len bytes and throws them away; the result is counted as sock_recv's. Linux discards them
// in the kernel (MSG_TRUNC) without copying; elsewhere they are copied into buf, which must hold len bytes.
int sock_recv_discard(sock_t s, void *buf, int len);
// Asks that a blocking receive on s return only once `bytes` are queued (or its time limit, the peer's
// close or an error comes first), so that a fast sender wakes the reader once per batch rather than once
// per segment. Linux: SO_RCVLOWAT, which the kernel caps at half the receive buffer; elsewhere nothing.
// An optimisation: where the platform refuses, every receive returns what has arrived, as before.
void sock_set_recv_batch(sock_t s, int bytes);

// Of the `sent` bytes that sends on this connected socket have accepted so far, how many the peer has
// acknowledged. Linux reads what is still queued (SIOCOUTQ: accepted, not yet acknowledged); Windows 10
// 1703 and later read the connection's TCP statistics (SIO_TCP_INFO). false where the platform cannot tell
// (older Windows, Wine): the caller then knows only what the socket accepted.
bool sock_acked(sock_t s, uint64_t sent, uint64_t *acked);

// A 4-byte integer option; the result of setsockopt is returned but callers may ignore it.
int sock_set_int(sock_t s, int level, int option, int value);
// SO_RCVTIMEO / SO_SNDTIMEO in milliseconds (a DWORD on Windows, a timeval on Linux).
void sock_set_recv_timeout(sock_t s, int ms);
void sock_set_send_timeout(sock_t s, int ms);
// SO_LINGER {on, 0}: the close that follows discards unsent data and resets the connection.
void sock_set_hard_close(sock_t s);
// The pending error of a socket (SO_ERROR); false when it cannot be read.
bool sock_pending_error(sock_t s, int *err);
// Binds s, before its connect, to the source address `from` with port 0; the port is chosen by the
// connect itself (Linux: IP_BIND_ADDRESS_NO_PORT), so that connections from one source to different
// servers may share a port and a flood does not run out of them. false when the bind fails.
bool sock_bind_source(sock_t s, const sockaddr *from, int from_len);

// Outcome of one wait for a non-blocking connect.
enum class ConnectWait {
  ready,    // marked writable: the attempt has completed, its SO_ERROR tells how
  failed,   // marked as failed by the socket layer itself: try the next address
  pending,  // nothing within this wait, or a signal ended it early: the attempt goes on
  broken,   // the wait itself failed
};
// Waits at most timeout_ms for a connect in progress. Linux uses poll, so any descriptor value works;
// Windows uses select on the write and exception sets.
ConnectWait sock_wait_connect(sock_t s, int timeout_ms);

// Waits at most timeout_ms for s to become readable: data, a connection to accept, or the peer's close.
// 1: readable, 0: nothing within this wait (or a signal ended it early), -1: the wait itself failed.
int sock_wait_readable(sock_t s, int timeout_ms);
// Lets a listening socket take its port again right after a restart while the old connections linger,
// yet never lets a second process listen on the same port (SO_REUSEADDR on Linux, where that is its
// meaning; SO_EXCLUSIVEADDRUSE on Windows, whose SO_REUSEADDR would allow port stealing).
void sock_set_listen_reuse(sock_t s);

// Classes of socket error codes.
bool err_is_interrupted(int code);  // the call was interrupted by a signal
bool err_is_retryable(int code);  // interrupted, would block / try again, or a SO_RCVTIMEO/SO_SNDTIMEO expiry
bool err_is_in_progress(int code);  // a non-blocking connect has started and goes on

// --- clock -------------------------------------------------------------------------------------------------

// The high-resolution counter: ticks per second and the current tick. false when unavailable.
bool perf_frequency(int64_t *ticks_per_second);
bool perf_counter(int64_t *ticks);
// Milliseconds since an arbitrary origin, the fallback clock.
uint64_t tick_count_ms();

// --- threads -----------------------------------------------------------------------------------------------

// A thread entry returns thread_ret_t (0 on every path) and is declared with KS_THREAD_CALL.
#if defined(_WIN32)
using thread_t = HANDLE;
using thread_ret_t = DWORD;
#define KS_THREAD_CALL WINAPI
#else
using thread_t = pthread_t;
using thread_ret_t = void *;
#define KS_THREAD_CALL
#endif
using thread_entry = thread_ret_t(KS_THREAD_CALL *)(void *arg);

// Starts entry(arg) on a new thread with default attributes; false when it cannot be created.
bool thread_start(thread_t *t, thread_entry entry, void *arg);
// Waits at most timeout_ms for the thread to end (0: not at all), then lets go of the handle either way.
// The bound is kept on a monotonic clock, so a step of the wall clock neither shortens nor stretches it.
// A thread that has not ended runs on detached and releases its own resources when it ends.
void thread_wait_release(thread_t t, int timeout_ms);

void sleep_ms(int ms);
