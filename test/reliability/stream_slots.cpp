// kestrum-server keeps its stream slots for measurements: the attacks that used to deny every measurement
// on a server with its default limits, each against a fresh server, with a good client (this library)
// measuring beside them. Runs in a network namespace of its own (made here with unshare, gone when the
// process ends), where loopback carries 127.0.0.0/8 and ::1 and two IPv6 /64s are routed to lo as local
// (AnyIP), so that each socket can speak from any address of them without 20,480 addresses being added.
//
//   reliability_stream_slots --server PATH [--cases LIST] [--transfers N] [--seconds S]
//
// Cases (LIST is comma-separated; default all):
//   threshold  single streams from their own addresses: downloads read, and uploads sent, at nothing, at
//              0.95x and at 1.05x the minimum rate. Nothing and 0.95x must be ended by the end of the
//              first window; 1.05x must still run after three windows.
//   ipv4       three hosts (127.0.0.2-4) at their per-source maximum of four streams each, from nothing
//              to full speed, each stream reopened at once when it ends; the good client on 127.0.0.1.
//   ipv6       the same from twelve addresses of one /64 (2001:db8:1::/64); the good client on ::1.
//   pending    20,480 silent connections from 20,480 addresses of that /64, reopened when closed, against
//              a server with 8,192 descriptors; the good client pings from ::1. Twice: with sources by
//              /64 (one source), and with --ipv6-prefix 128 (20,480 sources of one connection each).
//   honest     twelve full-speed downloads and then uploads from twelve sources (127.0.0.21-32) at once
//              while a thirteenth (127.0.0.33) keeps asking for a stream: none of the twelve may be cut
//              short, and the thirteenth must be refused every time.
// In ipv4 and ipv6 the good client alternates --transfers downloads and uploads of --seconds (default 20
// of 2 s each: a few minutes in all); each must succeed within 1 s of its planned length, and at least
// 19 of 20 (the same share of other counts) must. Prints the figures; exits 1 when a check fails.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kestrum.h"
#include "loopback.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The server's defaults, which every case runs with.
constexpr double kMinRate = 8192;
constexpr double kWindowS = 10;
// How late past a window's end the server may end a stream: its slice (0.1 s) and a busy machine.
constexpr double kEndSlackS = 1.0;
// The good client's transfers must last within this of their planned length.
constexpr double kLengthSlackS = 1.0;
// The IPv6 networks routed to lo inside the namespace (documentation prefixes: nothing outside uses them).
const char *const kAttackNet = "2001:db8:1::";
const char *const kAttackNetRoute = "2001:db8:1::/64";
// The pending case: as many silent connections as the attack, against a server with fewer
// descriptors than that, from two processes (one may hold at most its open-files limit).
constexpr int kPendingConnections = 20480;
constexpr int kPendingHolders = 2;
constexpr long kPendingServerFiles = 8192;
constexpr int kPendingPings = 300;

int failures = 0;
void check(bool ok, const std::string &what) {
  if (!ok) {
    std::printf("stream-slots: FAILED CHECK: %s\n", what.c_str());
    ++failures;
  }
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Address {
  sockaddr_storage ss{};
  socklen_t len = 0;
};

Address numeric(const std::string &host, int port) {
  Address a;
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list) == 0 && list != nullptr) {
    std::memcpy(&a.ss, list->ai_addr, list->ai_addrlen);
    a.len = static_cast<socklen_t>(list->ai_addrlen);
    freeaddrinfo(list);
  }
  return a;
}

// The i-th address of the attack /64, 2001:db8:1::<base + i> in its last 32 bits.
Address attack_address(uint32_t i) {
  Address a = numeric(kAttackNet, 0);
  auto *in6 = reinterpret_cast<sockaddr_in6 *>(&a.ss);
  const uint32_t tail = htonl(i);
  std::memcpy(&in6->sin6_addr.s6_addr[12], &tail, 4);
  return a;
}

// A blocking connection from `from` to `to`, with limit_ms on every send and receive; -1 on failure. The
// attack /64 is no address of this machine, only a route to lo: binding to it takes IPV6_FREEBIND.
int dial(const Address &to, const Address &from, int limit_ms) {
  const int s = ::socket(to.ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  timeval tv{limit_ms / 1000, (limit_ms % 1000) * 1000};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  ::setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
  if (from.ss.ss_family == AF_INET6) ::setsockopt(s, IPPROTO_IPV6, IPV6_FREEBIND, &one, sizeof one);
  if ((from.len > 0 && ::bind(s, reinterpret_cast<const sockaddr *>(&from.ss), from.len) != 0) ||
      ::connect(s, reinterpret_cast<const sockaddr *>(&to.ss), to.len) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// --- the server
// ---------------------------------------------------------------------------------------------

struct ServerChild {
  pid_t pid = -1;
  int port = 0;
  std::string log, metrics;
};

// Starts kestrum-server with its default limits and extra arguments; files: its open-files limit, 0 as it
// is. Waits (bounded) until it answers.
bool start_server(ServerChild &sc, const std::string &program, const std::vector<std::string> &extra,
                  long files, const std::string &tag) {
  sc.port = unused_port();
  std::string name = tag;
  for (char &c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
  sc.log = "/tmp/kestrum-stream-slots-" + std::to_string(getpid()) + "-" + name + ".log";
  sc.metrics = "/tmp/kestrum-stream-slots-" + std::to_string(getpid()) + "-" + name + ".prom";
  std::vector<std::string> args = {program, "--port", std::to_string(sc.port), "--metrics-file", sc.metrics};
  args.insert(args.end(), extra.begin(), extra.end());
  sc.pid = fork();
  if (sc.pid == 0) {
    const int log = ::open(sc.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (log >= 0) ::dup2(log, 2);
    if (files > 0) {
      rlimit lim{static_cast<rlim_t>(files), static_cast<rlim_t>(files)};
      setrlimit(RLIMIT_NOFILE, &lim);
    }
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  const Address here = numeric("127.0.0.1", sc.port);
  for (int i = 0; i < 100; ++i) {
    const int s = dial(here, Address{}, 200);
    if (s >= 0) {
      ::close(s);
      return true;
    }
    std::this_thread::sleep_for(milliseconds(50));
  }
  return false;
}

std::string file_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A sample of the metrics file, "name{labels}" as written; -1 when it is not there.
double metric_value(const std::string &text, const std::string &series) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, series.size() + 1, series + " ") == 0)
      return std::atof(line.c_str() + series.size() + 1);
  }
  return -1;
}

// Stops the server (SIGTERM, bounded) and prints its last figures; its exit status, -1 when it had to be
// killed.
int stop_server(ServerChild &sc, const char *name) {
  kill(sc.pid, SIGTERM);
  int status = -1;
  bool exited = false;
  for (int i = 0; i < 200 && !exited; ++i) {
    exited = waitpid(sc.pid, &status, WNOHANG) == sc.pid;
    if (!exited) std::this_thread::sleep_for(milliseconds(50));
  }
  if (!exited) {
    kill(sc.pid, SIGKILL);
    waitpid(sc.pid, &status, 0);
  }
  const std::string m = file_text(sc.metrics);
  auto v = [&](const char *series) { return static_cast<long long>(metric_value(m, series)); };
  std::printf(
      "stream-slots: %s: server streams refused %lld per source, %lld with every slot taken and %lld in a "
      "source's slow penalty, reclaimed "
      "%lld, ended below the minimum rate %lld; pending evicted %lld; bytes %lld down, %lld up "
      "(its --metrics-file)\n",
      name, v("kestrum_server_streams_refused_total{reason=\"per_source\"}"),
      v("kestrum_server_streams_refused_total{reason=\"full\"}"),
      v("kestrum_server_streams_refused_total{reason=\"penalty\"}"),
      v("kestrum_server_streams_ended_total{reason=\"reclaimed\"}"),
      v("kestrum_server_streams_ended_total{reason=\"too_slow\"}"),
      v("kestrum_server_pending_closed_total{reason=\"evicted\"}"),
      v("kestrum_server_bytes_total{direction=\"download\"}"),
      v("kestrum_server_bytes_total{direction=\"upload\"}"));
  check(v("kestrum_server_connections_total") > 0, std::string(name) + ": no metrics file from the server");
  std::remove(sc.log.c_str());
  std::remove(sc.metrics.c_str());
  const int code = exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  check(code == 0, std::string(name) + ": the server did not stop cleanly");
  return code;
}

// --- a client stream --------------------------------------------------------------------------------------

// What one stream does: its command, and the rate it reads or sends at (bytes/s; 0 nothing, < 0 as fast
// as it can).
struct Behaviour {
  char command;
  double rate;
};

constexpr double kFull = -1;

// Runs one stream until the server ends it, stop is raised, or run_for_s passes (0: no limit). Returns
// the seconds it ran until the server ended it, or -1 when it was still running; *moved gets the bytes it
// read or sent.
double run_stream(const Address &server, const Address &from, Behaviour b, const std::atomic<bool> &stop,
                  double run_for_s, uint64_t *moved) {
  *moved = 0;
  const int s = dial(server, from, 100);
  if (s < 0) return 0;
  if (::send(s, &b.command, 1, MSG_NOSIGNAL) != 1) {
    ::close(s);
    return 0;
  }
  std::vector<char> buf(1 << 20, 'u');
  const auto start = Clock::now();
  double ended = -1;
  while (!stop.load() && (run_for_s <= 0 || seconds_since(start) < run_for_s)) {
    const double due = b.rate < 0 ? 1e18 : b.rate * seconds_since(start);
    const size_t want = static_cast<size_t>(std::min<double>(buf.size(), std::max(0.0, due - *moved)));
    ssize_t n = 0;
    if (want > 0) {
      n = b.command == 'D' ? ::recv(s, buf.data(), want, b.rate < 0 ? MSG_TRUNC : 0)
                           : ::send(s, buf.data(), want, MSG_NOSIGNAL);
      if (n > 0) *moved += static_cast<uint64_t>(n);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        ended = seconds_since(start);
        break;
      }
    }
    // The server's end, a reset or a close, whether or not this side is moving anything.
    pollfd p{s, POLLRDHUP, 0};
    if (::poll(&p, 1, b.rate < 0 ? 0 : 10) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
      ended = seconds_since(start);
      break;
    }
  }
  hard_close(s);
  return ended;
}

// One attacking stream: b from `from`, reopened at once whenever it ends, until stop.
struct AttackTally {
  std::atomic<uint64_t> opened{0}, bytes{0};
};

void attack(const Address &server, Address from, Behaviour b, const std::atomic<bool> &stop, AttackTally *t) {
  for (int i = 0; i < 10000000 && !stop.load(); ++i) {
    uint64_t moved = 0;
    run_stream(server, from, b, stop, 0, &moved);
    t->opened++;
    t->bytes += moved;
  }
}

// Four streams per attacking host, from nothing to full speed; the three hosts of a case take rows in turn.
const Behaviour kAttackRows[3][4] = {
    {{'D', 0}, {'D', 1.05 * kMinRate}, {'U', 1.05 * kMinRate}, {'D', kFull}},
    {{'U', 0}, {'D', 0.5 * kMinRate}, {'U', kFull}, {'D', 1.05 * kMinRate}},
    {{'D', 0}, {'U', 0}, {'D', kFull}, {'U', 1.05 * kMinRate}},
};

// --- the good client ---------------------------------------------------------------------------------------

struct Tally {
  int ok = 0, total = 0;
  double worst_s = 0;  // the largest distance of a good transfer's length from its plan
  std::string first_failure;
};

// Alternates n downloads and n uploads of `seconds` against host, each timed as a call.
void good_transfers(const char *host, int port, int n, int seconds, Tally *down, Tally *up) {
  for (int i = 0; i < 2 * n; ++i) {
    const bool is_down = i % 2 == 0;
    Tally &t = is_down ? *down : *up;
    const auto start = Clock::now();
    const double r =
        is_down ? kestrum_download(host, port, seconds * 1000) : kestrum_upload(host, port, seconds * 1000);
    const double off = std::fabs(seconds_since(start) - seconds);
    t.total++;
    if (r > 0 && off <= kLengthSlackS) {
      t.ok++;
      t.worst_s = std::max(t.worst_s, off);
    } else if (t.first_failure.empty()) {
      t.first_failure = r > 0 ? "took " + std::to_string(seconds + off) + " s" : kestrum_last_error();
    }
  }
}

int required(int total) { return total - total / 20; }  // 19 of 20

void report_good(const char *name, const Tally &down, const Tally &up, double attack_bps) {
  std::printf(
      "stream-slots: %s: good client downloads %d of %d, uploads %d of %d within %.0f s of their length "
      "(worst %.2f s off; at least %d each); attackers moved %.0f bytes/s in all\n",
      name, down.ok, down.total, up.ok, up.total, kLengthSlackS, std::max(down.worst_s, up.worst_s),
      required(down.total), attack_bps);
  check(down.ok >= required(down.total), std::string(name) + ": downloads: " + down.first_failure);
  check(up.ok >= required(up.total), std::string(name) + ": uploads: " + up.first_failure);
}

// --- the cases
// ------------------------------------------------------------------------------------------------

struct Options {
  std::string server;
  std::string cases = "threshold,ipv4,ipv6,pending,honest";
  int transfers = 20;
  int seconds = 2;
};

void case_threshold(const Options &o) {
  ServerChild sc;
  check(start_server(sc, o.server, {}, 0, "threshold"), "threshold: the server did not start");
  const Address server = numeric("127.0.0.1", sc.port);
  struct Row {
    Behaviour b;
    bool dropped;  // by the end of the first window; else still running after three
    double ended = -1;
    uint64_t moved = 0;
  };
  std::vector<Row> rows = {{{'D', 0}, true}, {{'D', 0.95 * kMinRate}, true}, {{'D', 1.05 * kMinRate}, false},
                           {{'U', 0}, true}, {{'U', 0.95 * kMinRate}, true}, {{'U', 1.05 * kMinRate}, false}};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < rows.size(); ++i) {
    threads.emplace_back([&, i] {
      Row &r = rows[i];
      const Address from = numeric("127.0.0." + std::to_string(11 + i), 0);
      r.ended = run_stream(server, from, r.b, stop, 3 * kWindowS + 1, &r.moved);
    });
  }
  for (std::thread &t : threads) t.join();
  for (const Row &r : rows) {
    const std::string what =
        std::string(r.b.command == 'D' ? "download read" : "upload sent") + " at " +
        (r.b.rate == 0 ? std::string("nothing") : std::to_string(r.b.rate / kMinRate) + "x");
    std::printf("stream-slots: threshold: %s: %s (%llu bytes moved)\n", what.c_str(),
                r.ended < 0 ? "still running after three windows"
                            : ("ended by the server after " + std::to_string(r.ended) + " s").c_str(),
                static_cast<unsigned long long>(r.moved));
    if (r.dropped) {
      check(r.ended >= kWindowS - 0.5 && r.ended <= kWindowS + kEndSlackS,
            "threshold: " + what + " was not ended at the end of its first window");
    } else {
      check(r.ended < 0, "threshold: " + what + " was ended, though above the minimum");
    }
  }
  stop_server(sc, "threshold");
}

// Twelve attacking streams from `hosts` (three hosts, or twelve addresses of one network taking the rows
// in turn), and the good client measuring from good_host beside them.
void case_attack(const Options &o, const char *name, const std::vector<Address> &hosts,
                 const char *good_host) {
  ServerChild sc;
  check(start_server(sc, o.server, {}, 0, name), std::string(name) + ": the server did not start");
  const Address server = numeric(good_host, sc.port);
  std::atomic<bool> stop{false};
  std::vector<AttackTally> tallies(12);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < 12; ++i) {
    const size_t host = hosts.size() == 3 ? i / 4 : i;
    threads.emplace_back(attack, server, hosts[host], kAttackRows[i / 4][i % 4], std::cref(stop),
                         &tallies[i]);
  }
  std::this_thread::sleep_for(milliseconds(1500));  // every slot the attackers can take, taken
  const auto start = Clock::now();
  Tally down, up;
  good_transfers(good_host, sc.port, o.transfers, o.seconds, &down, &up);
  const double took = seconds_since(start);
  stop = true;
  for (std::thread &t : threads) t.join();
  uint64_t bytes = 0, opened = 0;
  for (const AttackTally &t : tallies) {
    bytes += t.bytes.load();
    opened += t.opened.load();
  }
  std::printf("stream-slots: %s: 12 attacking streams opened %llu times in %.0f s\n", name,
              static_cast<unsigned long long>(opened), took);
  report_good(name, down, up, static_cast<double>(bytes) / took);
  stop_server(sc, name);
}

// A process that holds a silent connection from each of `sources`, reopening any the server closes, until
// it is stopped (or 120 s pass). Writes a byte to ready_fd once every connection has been opened once.
pid_t spawn_holder(const Address &server, const std::vector<Address> &sources, int ready_fd) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  std::vector<int> fds(sources.size(), -1);
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  auto open_one = [&](size_t i) {
    fds[i] = dial(server, sources[i], 1000);
    if (fds[i] < 0) return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = i;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fds[i], &ev);
  };
  for (size_t i = 0; i < sources.size(); ++i) open_one(i);
  const char one = 1;
  if (::write(ready_fd, &one, 1) != 1) _exit(1);
  const auto start = Clock::now();
  epoll_event got[256];
  auto retry_at = Clock::now();
  while (seconds_since(start) < 120) {
    const int n = ::epoll_wait(ep, got, 256, 50);
    for (int k = 0; k < n; ++k) {
      const size_t i = got[k].data.u64;
      ::close(fds[i]);
      open_one(i);
    }
    if (Clock::now() >= retry_at) {
      for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i] < 0) open_one(i);
      }
      retry_at = Clock::now() + milliseconds(100);
    }
  }
  _exit(0);
}

void case_pending(const Options &o, int prefix) {
  const std::string name = "pending /" + std::to_string(prefix);
  ServerChild sc;
  std::vector<std::string> extra;
  if (prefix != 64) extra = {"--ipv6-prefix", std::to_string(prefix)};
  check(start_server(sc, o.server, extra, kPendingServerFiles, "pending" + std::to_string(prefix)),
        name + ": the server did not start");
  const Address server = numeric("::1", sc.port);
  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return;
  std::vector<pid_t> holders;
  for (int h = 0; h < kPendingHolders; ++h) {
    std::vector<Address> sources;
    for (int i = h; i < kPendingConnections; i += kPendingHolders)
      sources.push_back(attack_address(0x10000 + i));
    holders.push_back(spawn_holder(server, sources, ready[1]));
  }
  int got = 0;
  for (int i = 0; i < 600 && got < kPendingHolders; ++i) {
    pollfd p{ready[0], POLLIN, 0};
    if (::poll(&p, 1, 100) > 0) {
      char c;
      if (::read(ready[0], &c, 1) == 1) ++got;
    }
  }
  check(got == kPendingHolders, name + ": the silent connections were not all opened in time");
  int answered = 0;
  std::string first_error;
  for (int i = 0; i < kPendingPings; ++i) {
    if (kestrum_ping("::1", sc.port, 1) >= 0) {
      ++answered;
    } else if (first_error.empty()) {
      first_error = kestrum_last_error();
    }
  }
  for (pid_t pid : holders) kill(pid, SIGKILL);
  for (pid_t pid : holders) waitpid(pid, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  std::printf(
      "stream-slots: %s: %d silent connections from one /64 against %ld descriptors; good client "
      "pings from ::1 answered %d of %d\n",
      name.c_str(), kPendingConnections, kPendingServerFiles, answered, kPendingPings);
  check(answered == kPendingPings, name + ": a good ping failed: " + first_error);
  stop_server(sc, name.c_str());
}

// Twelve honest measurements from twelve sources at once, downloads and then uploads, each as long as a
// measurement; a thirteenth source asks for a stream now and then meanwhile.
void case_honest(const Options &o) {
  constexpr double kMeasureS = 5;
  ServerChild sc;
  check(start_server(sc, o.server, {}, 0, "honest"), "honest: the server did not start");
  const Address server = numeric("127.0.0.1", sc.port);
  for (const char command : {'D', 'U'}) {
    const char *what = command == 'D' ? "downloads" : "uploads";
    // The server lets go of a slot within a slice of its client's close: the downloads' slots first.
    std::this_thread::sleep_for(milliseconds(1000));
    std::atomic<bool> stop{false};
    std::vector<double> ended(12, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < 12; ++i) {
      threads.emplace_back([&, i] {
        uint64_t moved = 0;
        ended[static_cast<size_t>(i)] = run_stream(server, numeric("127.0.0." + std::to_string(21 + i), 0),
                                                   {command, kFull}, stop, kMeasureS, &moved);
      });
    }
    int asked = 0, served = 0;
    std::this_thread::sleep_for(milliseconds(1000));
    const auto probe_start = Clock::now();
    while (seconds_since(probe_start) < kMeasureS - 2.5) {
      uint64_t moved = 0;
      ++asked;
      if (run_stream(server, numeric("127.0.0.33", 0), {command, kFull}, stop, 0.5, &moved) < 0) ++served;
      std::this_thread::sleep_for(milliseconds(100));
    }
    for (std::thread &t : threads) t.join();
    const int cut =
        static_cast<int>(std::count_if(ended.begin(), ended.end(), [](double e) { return e >= 0; }));
    std::printf(
        "stream-slots: honest: 12 %s of %.0f s from 12 sources at once: %d cut short; a 13th source "
        "asked %d times and was served %d\n",
        what, kMeasureS, cut, asked, served);
    check(cut == 0, std::string("honest: ") + what + " were cut short");
    check(asked > 0 && served == 0, std::string("honest: the 13th source got a slot during the ") + what);
  }
  stop_server(sc, "honest");
}

// A network namespace of this process's own: lo up, and the attack /64 routed to it as local.
bool own_network(std::string *why) {
  if (unshare(CLONE_NEWNET) != 0) {
    *why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno) + " (run as root)";
    return false;
  }
  const std::string route = std::string("ip -6 route add local ") + kAttackNetRoute + " dev lo";
  if (std::system("ip link set lo up") != 0 || std::system(route.c_str()) != 0) {
    *why = "ip could not set up the namespace's loopback (iproute2)";
    return false;
  }
  return true;
}

Options parse(int argc, char **argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string k = argv[i];
    if (k == "--server") o.server = argv[i + 1];
    if (k == "--cases") o.cases = argv[i + 1];
    if (k == "--transfers") o.transfers = std::max(1, std::atoi(argv[i + 1]));
    if (k == "--seconds") o.seconds = std::max(1, std::atoi(argv[i + 1]));
  }
  return o;
}

bool wanted(const Options &o, const std::string &name) {
  return ("," + o.cases + ",").find("," + name + ",") != std::string::npos;
}

}  // namespace

int main(int argc, char **argv) {
  const Options o = parse(argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (o.server.empty()) {
    std::fprintf(
        stderr,
        "usage: reliability_stream_slots --server PATH [--cases LIST] [--transfers N] [--seconds S]\n");
    return 2;
  }
  std::string why;
  if (!own_network(&why)) {
    std::printf("stream-slots: cannot make a network namespace: %s\nstream-slots: FAIL\n", why.c_str());
    return 1;
  }
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
  kestrum_init();
  const auto start = Clock::now();
  if (wanted(o, "threshold")) case_threshold(o);
  if (wanted(o, "ipv4")) {
    case_attack(o, "ipv4", {numeric("127.0.0.2", 0), numeric("127.0.0.3", 0), numeric("127.0.0.4", 0)},
                "127.0.0.1");
  }
  if (wanted(o, "ipv6")) {
    std::vector<Address> hosts;
    for (uint32_t i = 1; i <= 12; ++i) hosts.push_back(attack_address(i));
    case_attack(o, "ipv6 /64", hosts, "::1");
  }
  if (wanted(o, "pending")) {
    case_pending(o, 64);
    case_pending(o, 128);
  }
  if (wanted(o, "honest")) case_honest(o);
  kestrum_cleanup();
  std::printf("stream-slots: %.0f s in all\nstream-slots: %s\n", seconds_since(start),
              failures == 0 ? "PASS" : "FAIL");
  return failures == 0 ? 0 : 1;
}
