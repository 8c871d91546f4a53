// Fuzzes the library frame through its exports with arbitrary host texts (any bytes: quotes, control
// characters, invalid UTF-8, very long), arbitrary ports, small counts and durations, a raised or lowered
// cancel flag and a registered or missing callback.
//
// The resolver is wrapped (-Wl,--wrap=getaddrinfo): the host text never reaches a real resolver, so no
// input can cause network traffic. Instead the input picks what resolution yields: a failure, an empty
// list, a loopback address that refuses, or a loopback echo server in this process. The model below then
// knows exactly what every call must return, which message it must leave and what the result document
// must show.
//
// Input: [op][port: 4 bytes LE][resolver][amount][host bytes...]
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <yyjson.h>

#include "kestrum.h"
#include "wire.h"

extern "C" int __real_getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                                  addrinfo **res);

namespace {

enum Resolver : uint8_t { kFail, kEmpty, kRefused, kEcho, kResolverModes };

Resolver g_resolver = kFail;
int g_refusing_port = 0;  // bound but never listening: every connection attempt is refused
int g_echo_port = 0;      // a minimal server on a thread of its own

[[noreturn]] void fail(const char *what, const std::string &detail) {
  std::fprintf(stderr, "frame_fuzz: %s: %s\n", what, detail.c_str());
  std::abort();
}

int loopback_socket(int *port, bool listening) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (s < 0 || ::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      (listening && ::listen(s, 16) != 0) || ::getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    fail("setup", "cannot open a loopback socket");
  }
  *port = ntohs(a.sin_port);
  return s;
}

// Serves one connection at a time, as the library makes them: 'P' gets its 8 bytes back, 'D' a stream until
// the client closes, 'U' is read until the client closes. Every wait is a 20 ms slice; a connection is
// given up after 2 s.
void echo_server(int listener) {
  static char buf[65536];
  for (;;) {
    const int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    timeval tv{0, 20000};
    ::setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    char cmd = 0;
    int got = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (got == 0 && std::chrono::steady_clock::now() < until) {
      const ssize_t r = ::recv(c, &cmd, 1, 0);
      if (r == 0 || (r < 0 && errno != EAGAIN)) break;
      got = r > 0 ? 1 : 0;
    }
    while (got == 1 && std::chrono::steady_clock::now() < until) {
      if (cmd == kCmdPing) {
        char stamp[kPingReplySize];
        size_t have = 0;
        while (have < sizeof stamp && std::chrono::steady_clock::now() < until) {
          const ssize_t r = ::recv(c, stamp + have, sizeof stamp - have, 0);
          if (r == 0 || (r < 0 && errno != EAGAIN)) break;
          if (r > 0) have += static_cast<size_t>(r);
        }
        if (have == sizeof stamp) ::send(c, stamp, sizeof stamp, MSG_NOSIGNAL);
        cmd = kCmdUpload;  // then wait for the client's close like an upload
      } else if (cmd == kCmdDownload) {
        if (::send(c, buf, 4096, MSG_NOSIGNAL) < 0 && errno != EAGAIN) break;
      } else {
        const ssize_t r = ::recv(c, buf, sizeof buf, 0);
        if (r == 0 || (r < 0 && errno != EAGAIN)) break;
      }
    }
    ::close(c);
  }
}

void set_up_once() {
  static bool done = false;
  if (done) return;
  done = true;
  loopback_socket(&g_refusing_port, false);  // kept open for the life of the process
  const int listener = loopback_socket(&g_echo_port, true);
  std::thread(echo_server, listener).detach();
}

addrinfo *loopback_list(int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo *list = nullptr;
  const std::string service = std::to_string(port);
  if (__real_getaddrinfo("127.0.0.1", service.c_str(), &hints, &list) != 0)
    fail("setup", "loopback resolution");
  return list;
}

// --- the model of the frame -------------------------------------------------------------------------------

std::string formatted(const char *format_prefix, const char *host, int port) {
  char msg[256];
  std::snprintf(msg, sizeof msg, "%s%s:%d", format_prefix, host, port);
  return msg;
}

// True when the library must be able to render a document whose server member is `key`: the key is valid
// UTF-8 and, escaped, leaves ample room in the 1024-byte text for the other six members.
bool renderable(const std::string &key) {
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *v = yyjson_mut_strncpy(doc, key.data(), key.size());
  yyjson_mut_doc_set_root(doc, v);
  size_t len = 0;
  char *text = yyjson_mut_write(doc, YYJSON_WRITE_NOFLAG, &len);
  const bool ok = text != nullptr && len + 240 < 1024;
  std::free(text);
  yyjson_mut_doc_free(doc);
  return ok;
}

const char *const kMembers[] = {"server",      "ping_ms",     "jitter_ms", "download_mbps",
                                "upload_mbps", "duration_ms", "phase"};

struct Doc {
  std::string server, phase;
  long long duration_ms = 0;
};

// "{}" (empty) or one line of JSON with the seven members in order; aborts on anything else.
bool parse_doc(const char *text, Doc *out) {
  const size_t len = std::strlen(text);
  if (len >= 1024) fail("result text overflows its buffer", std::to_string(len));
  if (std::strcmp(text, "{}") == 0) return false;
  if (std::memchr(text, '\n', len) != nullptr) fail("result text is not one line", text);
  yyjson_doc *doc = yyjson_read(text, len, 0);
  if (doc == nullptr) fail("result text is not JSON (cut?)", text);
  yyjson_val *root = yyjson_doc_get_root(doc);
  if (!yyjson_is_obj(root) || yyjson_obj_size(root) != 7) fail("result is not seven members", text);
  yyjson_obj_iter it = yyjson_obj_iter_with(root);
  size_t i = 0;
  while (yyjson_val *key = yyjson_obj_iter_next(&it)) {
    yyjson_val *v = yyjson_obj_iter_get_val(key);
    if (std::strcmp(yyjson_get_str(key), kMembers[i]) != 0) fail("members out of order", text);
    if (i == 0 || i == 6) {
      if (!yyjson_is_str(v)) fail("server/phase not a string", text);
      (i == 0 ? out->server : out->phase) = std::string(yyjson_get_str(v), yyjson_get_len(v));
    } else if (i == 5) {
      if (!yyjson_is_int(v)) fail("duration_ms not an integer", text);
      out->duration_ms = yyjson_get_sint(v);
    } else if (!yyjson_is_real(v) || !std::isfinite(yyjson_get_real(v)) || yyjson_get_real(v) < 0) {
      fail("a result is not a finite, non-negative real", text);
    }
    ++i;
  }
  yyjson_doc_free(doc);
  return true;
}

bool g_flag_raised = false;  // the cancel flag as the model sees it
int g_reports = 0;

void on_tick(const char *label, double rate, int percent) {
  if (label == nullptr || percent < 0 || percent > 100 || !std::isfinite(rate) || rate < 0) {
    fail("report out of range", label ? label : "(null)");
  }
  ++g_reports;
}

}  // namespace

extern "C" int __wrap_getaddrinfo(const char *, const char *, const addrinfo *, addrinfo **res) {
  switch (g_resolver) {
    case kFail:
      return EAI_NONAME;
    case kEmpty:
      *res = nullptr;
      return 0;
    case kRefused:
      *res = loopback_list(g_refusing_port);
      return 0;
    default:
      *res = loopback_list(g_echo_port);
      return 0;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  set_up_once();
  if (size < 7) return 0;
  const uint8_t op = data[0];
  int32_t port;
  std::memcpy(&port, data + 1, 4);
  g_resolver = static_cast<Resolver>(data[5] % kResolverModes);
  const uint8_t amount = data[6];
  const std::string host_bytes(reinterpret_cast<const char *>(data + 7), size - 7);
  const char *host = (op & 0x08) ? nullptr : host_bytes.c_str();  // stops at the first NUL, as C does

  if (op & 0x20) {
    if (kestrum_init() != 0) fail("kestrum_init", "failed");
    g_flag_raised = false;
  }
  if (op & 0x10) {
    kestrum_cancel();
    g_flag_raised = true;
  }
  kestrum_set_tick((op & 0x40) ? on_tick : nullptr);

  const int which = op & 0x03;  // ping, download, upload, full run
  const int count = amount % 8 - 2;
  const int duration = amount % 6 - 1;
  const std::string before = kestrum_result_json();
  const std::string error_before = kestrum_last_error();

  double value = 0;
  switch (which) {
    case 0:
      value = kestrum_ping(host, port, count);
      break;
    case 1:
      value = kestrum_download(host, port, duration);
      break;
    case 2:
      value = kestrum_upload(host, port, duration);
      break;
    default:
      value = kestrum_run_all(host, port, duration);
      break;
  }
  const std::string after = kestrum_result_json();
  const std::string error = kestrum_last_error();
  if (error.size() > 255) fail("last error longer than 255", error);
  if (!std::isfinite(value)) fail("value not finite", std::to_string(value));

  // What the call must have done, from the entry checks on.
  const bool no_host = host == nullptr || host[0] == '\0';
  std::string expected_error;
  bool untouched = true;  // the entry checks stop it before the record and the document
  if (no_host) {
    expected_error = "Invalid host";
  } else if (which != 0 && duration <= 0) {
    expected_error = "Invalid duration";
  } else if (which != 3 && g_flag_raised) {
    expected_error = "Cancelled by user";
  } else {
    untouched = false;
    if (which == 3) g_flag_raised = false;  // the full run lowers the flag first
    // A port outside 1..65535 is refused before the resolver is asked.
    if (port < 1 || port > 65535 || g_resolver == kFail) {
      expected_error = "DNS resolution failed";
    } else if (g_resolver == kEmpty || g_resolver == kRefused) {
      expected_error = formatted("Connect failed to ", host, port);
    }
  }

  const bool must_succeed = !untouched && g_resolver == kEcho && port >= 1 && port <= 65535;
  if (must_succeed) {
    const bool ok = which == 3 ? value == 0.0 : value >= 0.0;
    if (!ok) fail("a call against the echo server failed", error);
    // A success leaves the last error as it was, except that the full run empties it first.
    if (which == 3 ? !error.empty() : error != error_before) fail("a success changed the last error", error);
  } else {
    if (value != -1.0) fail("a failing call did not return -1", std::to_string(value));
    if (error != expected_error) fail("unexpected last error", error + " (expected " + expected_error + ")");
  }

  Doc doc;
  const bool rendered = parse_doc(after.c_str(), &doc);
  if (untouched) {
    if (after != before) fail("an entry check changed the result document", after);
    return 0;
  }
  char key[256];
  std::snprintf(key, sizeof key, "%s:%d", host, port);
  if (!rendered) {
    if (renderable(key)) fail("a renderable record came out as {}", key);
    return 0;
  }
  if (doc.server != key) fail("server member differs from the key", doc.server);
  const char *labels[] = {"ping", "download", "upload", "error"};
  const std::string expected_phase = must_succeed ? "complete" : labels[which];
  if (doc.phase != expected_phase) fail("unexpected phase", doc.phase + " (expected " + expected_phase + ")");
  if (which != 0 && doc.duration_ms != duration) fail("duration_ms differs", std::to_string(doc.duration_ms));
  return 0;
}
