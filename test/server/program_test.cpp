// The kestrum-server program itself: its options, exit codes, and a clean stop on SIGINT and SIGTERM.
// POSIX only, as it starts and signals a child process.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_client.h"

namespace {

// kestrum-server running as a child, its stdout and stderr in one pipe.
class Child {
 public:
  explicit Child(const std::vector<std::string> &args) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      ::close(fds[0]);
      ::close(fds[1]);
      std::vector<char *> argv;
      std::string exe = KESTRUM_SERVER_EXE;
      argv.push_back(&exe[0]);
      std::vector<std::string> copy = args;
      for (std::string &a : copy) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(exe.c_str(), argv.data());
      _exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
  }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  bool started() const { return pid_ > 0 && out_ >= 0; }
  pid_t pid() const { return pid_; }
  const std::string &output() const { return output_; }

  // Reads output until needle has appeared, the pipe closes or within_ms has passed.
  bool read_until(const std::string &needle, int within_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(within_ms);
    while (output_.find(needle) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
              .count();
      if (left <= 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      const ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) return output_.find(needle) != std::string::npos;
      output_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }

  // The exit code once the child has ended within within_ms, all its output read; -1 if it was still
  // running (it is then killed) or did not exit normally.
  int wait_exit(int within_ms) {
    read_until(std::string(1, '\0'), within_ms);  // a NUL never comes: reads until the pipe closes
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(within_ms);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) return -1;  // the destructor kills it
      usleep(5000);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string output_;
};

struct Usage {
  std::vector<std::string> args;
  int exit_code;
  std::vector<std::string> mentions;
};

TEST(ServerProgram, OptionsAndExitCodes) {
  const Usage cases[] = {
      {{"--help"},
       0,
       {"--bind",
        "--port",
        "--ipv6-prefix",
        "(default: 64)",
        "--metrics-file",
        "--max-pending",
        "--max-pending-per-source",
        "--max-streams",
        "--max-streams-per-source",
        "--command-timeout",
        "--max-stream",
        "--min-rate",
        "--rate-window",
        "--slow-penalty",
        "(default: 30)",
        "--socket-buffer",
        "--stats",
        "--quiet",
        "--version",
        "--help",
        "9301",
        "65536",
        "(default: 12)",
        "(default: 4)",
        "(default: 8192)",
        "(default: 10)",
        "300",
        "'P'",
        "'D'",
        "'U'"}},
      {{"--version"}, 0, {"kestrum-server "}},
      {{"--bogus"}, 2, {"--bogus"}},
      {{"--port"}, 2, {"--port"}},
      {{"--port", "65536"}, 2, {"65536"}},
      {{"--port=nine"}, 2, {"nine"}},
      {{"--max-connections", "5"}, 2, {"--max-connections"}},
      {{"--max-streams", "0"}, 2, {"--max-streams"}},
      // One rule for numbers, the kestrum command's: plain decimal digits only.
      {{"--port", " 5"}, 2, {"' 5'"}},
      {{"--port", "+5"}, 2, {"'+5'"}},
      {{"--max-pending", "0x10"}, 2, {"'0x10'"}},
      {{"--min-rate", "1e3"}, 2, {"'1e3'"}},
      {{"--rate-window", "-0.5"}, 2, {"--rate-window"}},
      {{"--command-timeout", "-1"}, 2, {"--command-timeout"}},
      {{"--max-stream", "0.5"}, 2, {"--max-stream"}},
      {{"--stats=yes"}, 2, {"--stats"}},
      {{"--ipv6-prefix", "47"}, 2, {"'47'"}},
      {{"--slow-penalty", "0.5"}, 2, {"'0.5'"}},
      {{"--ipv6-prefix", "129"}, 2, {"'129'"}},
      {{"--metrics-file"}, 2, {"--metrics-file"}},
      // A folder that is not there stops the start before the server listens.
      {{"--metrics-file", "/nonexistent-kestrum-folder/server.prom", "--port", "0"}, 1, {"cannot write"}},
      {{"--bind", "192.0.2.1", "--port", "0"}, 1, {"cannot listen"}},  // not an address of this machine
  };
  for (const Usage &tc : cases) {
    std::string line;
    for (const std::string &a : tc.args) line += a + " ";
    SCOPED_TRACE(line);
    Child child(tc.args);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.wait_exit(kClientWaitMs), tc.exit_code) << child.output();
    for (const std::string &word : tc.mentions) {
      EXPECT_NE(child.output().find(word), std::string::npos) << word << " missing from:\n" << child.output();
    }
  }
}

class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, StopsTheServerCleanly) {
  Child child({"--bind", "127.0.0.1", "--port", "0", "--stats"});
  ASSERT_TRUE(child.started());
  const std::string listening = "listening on 127.0.0.1:";
  ASSERT_TRUE(child.read_until(listening, kClientWaitMs) && child.read_until("\n", kClientWaitMs))
      << child.output();
  const int port = std::atoi(child.output().c_str() + child.output().find(listening) + listening.size());
  ASSERT_GT(port, 0) << child.output();

  EXPECT_TRUE(ping("127.0.0.1", port));
  Client idle = dial("127.0.0.1", port);  // a client still connected when the signal comes
  ASSERT_TRUE(idle.ok());

  ASSERT_EQ(kill(child.pid(), GetParam()), 0);
  EXPECT_EQ(child.wait_exit(kClientWaitMs), 0) << child.output();
  EXPECT_NE(child.output().find("stopped"), std::string::npos) << child.output();
  EXPECT_TRUE(idle.server_closes_within(kClientWaitMs));
}

std::string file_text(const std::string &path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// --metrics-file: written at start, every few seconds and at the stop, with the figures as they stand,
// and nothing left beside it in its folder.
TEST(ServerProgram, MetricsFileFollowsTheServer) {
  char folder[] = "/tmp/kestrum-server-metrics-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/server.prom";
  Child child({"--bind", "127.0.0.1", "--port", "0", "--metrics-file", path});
  ASSERT_TRUE(child.started());
  const std::string listening = "listening on 127.0.0.1:";
  ASSERT_TRUE(child.read_until(listening, kClientWaitMs) && child.read_until("\n", kClientWaitMs))
      << child.output();
  const int port = std::atoi(child.output().c_str() + child.output().find(listening) + listening.size());
  EXPECT_TRUE(eventually(
      [&] { return file_text(path).find("kestrum_server_connections_total 0\n") != std::string::npos; }));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ping("127.0.0.1", port));
  // The next periodic write has the three pings.
  EXPECT_TRUE(eventually(
      [&] { return file_text(path).find("kestrum_server_pings_total 3\n") != std::string::npos; }, 8000));
  EXPECT_TRUE(ping("127.0.0.1", port));
  ASSERT_EQ(kill(child.pid(), SIGTERM), 0);
  EXPECT_EQ(child.wait_exit(kClientWaitMs), 0) << child.output();
  EXPECT_NE(file_text(path).find("kestrum_server_pings_total 4\n"), std::string::npos) << "the stop's write";
  // Prometheus's own check, where set-up has installed it (scripts/setup does, for the packaging tests):
  // it must say nothing.
  if (access("/usr/bin/promtool", X_OK) == 0) {
    const std::string said = path + ".promtool";
    const std::string command = "/usr/bin/promtool check metrics < " + path + " > " + said + " 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << file_text(said);
    EXPECT_EQ(file_text(said), "");
    std::remove(said.c_str());
  }
  int entries = 0;
  if (DIR *d = opendir(folder)) {
    while (const dirent *e = readdir(d))
      entries += e->d_name[0] == '.' && (e->d_name[1] == 0 || e->d_name[1] == '.') ? 0 : 1;
    closedir(d);
  }
  EXPECT_EQ(entries, 1) << "a temporary was left beside the metrics file";
  std::remove(path.c_str());
  rmdir(folder);
}

INSTANTIATE_TEST_SUITE_P(ServerProgram, StopSignal, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int> &p) {
                           return std::string(p.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

}  // namespace
