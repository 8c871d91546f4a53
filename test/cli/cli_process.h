// Runs the real kestrum binary as a child process, with its output on pipes or on a pseudo-terminal,
// and watches it within time limits. POSIX only.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct CliLaunch {
  std::vector<std::string> args;  // after the program name
  // The child's environment is the test's own with these changes. NO_COLOR goes by default, so that a
  // developer's setting does not change what the tests see.
  std::vector<std::pair<std::string, std::string>> set_env;
  std::vector<std::string> unset_env = {"NO_COLOR"};
  bool terminal = false;  // stdout and stderr on one pseudo-terminal instead of two pipes
};

class CliProcess {
 public:
  explicit CliProcess(const CliLaunch &launch);
  ~CliProcess();  // a child still running is killed and reaped; every descriptor is closed
  CliProcess(const CliProcess &) = delete;
  CliProcess &operator=(const CliProcess &) = delete;

  bool started() const { return pid_ > 0; }
  // Reads output until `needle` shows in stdout (or stderr) or the time runs out; true when it showed.
  bool wait_for(const std::string &needle, bool in_stderr, int timeout_ms);
  void send_signal(int sig);
  // Reads output until the child has exited; true when it did within the time. Otherwise the child is
  // killed and false is returned.
  bool finish(int timeout_ms);

  int exit_code() const { return exit_code_; }     // -1 unless it exited normally
  const std::string &out() const { return out_; }  // with terminal = true: everything written
  const std::string &err() const { return err_; }

 private:
  void pump(int timeout_ms);  // one wait for output, at most timeout_ms
  bool reap(bool block);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int exit_code_ = -1;
  bool reaped_ = false;
  std::string out_;
  std::string err_;
};

// Launches, waits for the end (at most timeout_ms) and returns the finished process.
struct CliResult {
  bool finished = false;
  int exit_code = -1;
  std::string out;
  std::string err;
};
CliResult run_cli(const CliLaunch &launch, int timeout_ms = 30000);
CliResult run_cli(const std::vector<std::string> &args, int timeout_ms = 30000);

// The lines of a text, without their line ends.
std::vector<std::string> split_lines(const std::string &text);
