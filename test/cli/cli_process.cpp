#include "cli_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

std::vector<std::string> child_environment(const CliLaunch &launch) {
  std::vector<std::string> env;
  for (char **e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool drop = false;
    for (const auto &u : launch.unset_env) drop = drop || name == u;
    for (const auto &s : launch.set_env) drop = drop || name == s.first;
    if (!drop) env.push_back(entry);
  }
  for (const auto &s : launch.set_env) env.push_back(s.first + "=" + s.second);
  return env;
}

// A pseudo-terminal whose output is passed on raw (no "\n" to "\r\n"), so the test sees the bytes the
// program wrote. Returns the master; *slave gets the other end.
int open_terminal(int *slave) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return -1;
  if (grantpt(master) != 0 || unlockpt(master) != 0) {
    close(master);
    return -1;
  }
  const char *name = ptsname(master);
  *slave = name != nullptr ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (*slave < 0) {
    close(master);
    return -1;
  }
  termios mode{};
  if (tcgetattr(*slave, &mode) == 0) {
    mode.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tcsetattr(*slave, TCSANOW, &mode);
  }
  return master;
}

}  // namespace

CliProcess::CliProcess(const CliLaunch &launch) {
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  int slave = -1;
  if (launch.terminal) {
    out_fd_ = open_terminal(&slave);
    if (out_fd_ < 0) return;
  } else {
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
      close(out_pipe[0]);
      close(out_pipe[1]);
      return;
    }
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, launch.terminal ? slave : out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, launch.terminal ? slave : err_pipe[1], 2);

  // The child starts with the default signal dispositions and an empty mask, whatever this process has.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv_text = {KESTRUM_CLI_PATH};
  argv_text.insert(argv_text.end(), launch.args.begin(), launch.args.end());
  std::vector<char *> argv;
  for (auto &a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_text = child_environment(launch);
  std::vector<char *> envp;
  for (auto &e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), envp.data()) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);

  // Only the child keeps the writing ends: the reads see the end of output when it exits.
  if (launch.terminal) {
    close(slave);
  } else {
    close(out_pipe[1]);
    close(err_pipe[1]);
  }
}

CliProcess::~CliProcess() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    reap(true);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

void CliProcess::pump(int timeout_ms) {
  pollfd fds[2];
  int n = 0;
  if (out_fd_ >= 0) fds[n++] = {out_fd_, POLLIN, 0};
  if (err_fd_ >= 0) fds[n++] = {err_fd_, POLLIN, 0};
  if (n == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms < 10 ? timeout_ms : 10));
    return;
  }
  if (poll(fds, static_cast<nfds_t>(n), timeout_ms) <= 0) return;
  for (int i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    char buf[4096];
    const ssize_t got = read(fds[i].fd, buf, sizeof buf);
    const bool is_out = fds[i].fd == out_fd_;
    if (got > 0) {
      (is_out ? out_ : err_).append(buf, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      // End of output (a terminal whose last writer has gone reports EIO instead of 0).
      close(fds[i].fd);
      (is_out ? out_fd_ : err_fd_) = -1;
    }
  }
}

bool CliProcess::reap(bool block) {
  if (reaped_) return true;
  int status = 0;
  const pid_t r = waitpid(pid_, &status, block ? 0 : WNOHANG);
  if (r != pid_) return false;
  reaped_ = true;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

bool CliProcess::wait_for(const std::string &needle, bool in_stderr, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  const std::string &text = in_stderr ? err_ : out_;
  while (text.find(needle) == std::string::npos) {
    if (Clock::now() >= deadline || (out_fd_ < 0 && err_fd_ < 0)) return false;
    pump(remaining_ms(deadline));
  }
  return true;
}

void CliProcess::send_signal(int sig) {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool CliProcess::finish(int timeout_ms) {
  if (pid_ <= 0) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while ((out_fd_ >= 0 || err_fd_ >= 0) && Clock::now() < deadline) pump(remaining_ms(deadline));
  while (!reap(false) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (reaped_) return true;
  kill(pid_, SIGKILL);
  reap(true);
  exit_code_ = -1;
  return false;
}

CliResult run_cli(const CliLaunch &launch, int timeout_ms) {
  CliProcess p(launch);
  CliResult r;
  r.finished = p.started() && p.finish(timeout_ms);
  r.exit_code = p.exit_code();
  r.out = p.out();
  r.err = p.err();
  return r;
}

CliResult run_cli(const std::vector<std::string> &args, int timeout_ms) {
  CliLaunch launch;
  launch.args = args;
  return run_cli(launch, timeout_ms);
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}
