#include "fault_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace rel {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kConnCapMs = 8000;  // no connection thread outlives this, whatever the client does

FakeServerOptions soak_options() {
  FakeServerOptions o;
  o.record = false;  // thousands of uploads in a minute
  o.conn_cap_ms = kConnCapMs;
  return o;
}

}  // namespace

FaultServer::FaultServer(uint64_t seed)
    : faulty_(fake::random_faults(seed, &tally_), soak_options()),
      clean_(fake::counted(&tally_), soak_options()) {}

void FaultServer::stop() {
  faulty_.stop();
  clean_.stop();
}

// --- the child process ------------------------------------------------------------------------------------

namespace {

bool read_line(int fd, std::string *line, int timeout_ms) {
  const auto until = Clock::now() + milliseconds(timeout_ms);
  line->clear();
  while (Clock::now() < until) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) != 1) continue;
    char ch;
    const ssize_t r = ::read(fd, &ch, 1);
    if (r <= 0) return false;
    if (ch == '\n') return true;
    line->push_back(ch);
  }
  return false;
}

[[noreturn]] void run_child(uint64_t seed, int control_fd, int report_fd) {
  const int refused = unused_port();
  FaultServer server(seed);
  if (!server.ok()) _exit(3);
  const std::string ports = std::to_string(server.faulty_port()) + " " + std::to_string(server.clean_port()) +
                            " " + std::to_string(server.unanswered_port()) + " " + std::to_string(refused) +
                            "\n";
  if (::write(report_fd, ports.data(), ports.size()) < 0) _exit(4);
  // Until the parent closes its end, or goes away.
  char ch;
  while (::read(control_fd, &ch, 1) > 0) {
  }
  server.stop();
  const FaultCounts c = server.counts();
  std::string out;
  for (uint64_t n : c.by_kind) out += std::to_string(n) + " ";
  out += std::to_string(c.clean) + " " + std::to_string(c.no_command) + "\n";
  if (::write(report_fd, out.data(), out.size()) < 0) _exit(5);
  _exit(0);
}

}  // namespace

FaultServerProcess::FaultServerProcess(uint64_t seed) {
  int control[2];
  int report[2];
  if (::pipe2(control, O_CLOEXEC) != 0) return;
  if (::pipe2(report, O_CLOEXEC) != 0) {
    ::close(control[0]);
    ::close(control[1]);
    return;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(control[1]);
    ::close(report[0]);
    run_child(seed, control[0], report[1]);
  }
  ::close(control[0]);
  ::close(report[1]);
  control_fd_ = control[1];
  report_fd_ = report[0];
  if (pid < 0) return;
  pid_ = pid;
  std::string line;
  if (!read_line(report_fd_, &line, 10000)) return;
  ok_ = std::sscanf(line.c_str(), "%d %d %d %d", &ports_[0], &ports_[1], &ports_[2], &ports_[3]) == 4;
}

FaultCounts FaultServerProcess::finish() {
  FaultCounts c;
  if (control_fd_ >= 0) {
    ::close(control_fd_);
    control_fd_ = -1;
  }
  std::string line;
  if (report_fd_ >= 0 && read_line(report_fd_, &line, kConnCapMs + 5000)) {
    unsigned long long v[kFaultKinds + 2] = {};
    const char *p = line.c_str();
    for (unsigned long long &x : v) {
      char *end = nullptr;
      x = std::strtoull(p, &end, 10);
      p = end;
    }
    for (int i = 0; i < kFaultKinds; ++i) c.by_kind[i] = v[i];
    c.clean = v[kFaultKinds];
    c.no_command = v[kFaultKinds + 1];
  }
  if (pid_ > 0) {
    // Bounded: the child has stopped serving by now, or is killed.
    int status = 0;
    bool reaped = false;
    for (int i = 0; i < 200 && !reaped; ++i) {
      reaped = ::waitpid(pid_, &status, WNOHANG) == pid_;
      if (!reaped) std::this_thread::sleep_for(milliseconds(10));
    }
    if (!reaped) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }
  if (report_fd_ >= 0) {
    ::close(report_fd_);
    report_fd_ = -1;
  }
  return c;
}

FaultServerProcess::~FaultServerProcess() {
  if (pid_ > 0 || control_fd_ >= 0) finish();
}

}  // namespace rel
