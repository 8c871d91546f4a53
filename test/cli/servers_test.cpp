// Which address is measured: -4/-6 resolve a name once with that family, and of several servers the one
// with the lowest median of three pings is measured, the unreachable skipped unless all are.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli_process.h"
#include "cli_support.h"
#include "fake_server.h"
#include "server.h"

namespace {

// One server on every IPv6 and IPv4 address of this host, so that 127.0.0.1 and ::1 both reach it.
class DualStackServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ServerConfig config;
    config.bind = "";
    config.port = 0;
    config.quiet = true;
    std::string error;
    server_ = server_start(config, &error);
    ASSERT_NE(server_, nullptr) << error;
    port_ = std::to_string(server_port(server_));
  }
  void TearDown() override {
    if (server_ != nullptr) server_stop(server_);
  }
  Server *server_ = nullptr;
  std::string port_;
};

// The "candidates" member of a result line: host, port, chosen, and the median or the error.
struct CandidateDoc {
  std::string host;
  long long port;
  bool chosen;
  double median_ms;  // -1 when skipped
  std::string error;
};

std::vector<CandidateDoc> candidates_of(const std::string &line) {
  std::vector<CandidateDoc> out;
  yyjson_doc *doc = yyjson_read(line.data(), line.size(), 0);
  yyjson_val *list = yyjson_obj_get(yyjson_doc_get_root(doc), "candidates");
  size_t i = 0, n = 0;
  yyjson_val *c = nullptr;
  yyjson_arr_foreach(list, i, n, c) {
    const char *error = yyjson_get_str(yyjson_obj_get(c, "error"));
    yyjson_val *median = yyjson_obj_get(c, "median_ms");
    out.push_back({yyjson_get_str(yyjson_obj_get(c, "host")),
                   static_cast<long long>(yyjson_get_num(yyjson_obj_get(c, "port"))),
                   yyjson_is_true(yyjson_obj_get(c, "chosen")),
                   yyjson_is_num(median) ? yyjson_get_num(median) : -1, error != nullptr ? error : ""});
  }
  yyjson_doc_free(doc);
  return out;
}

TEST_F(DualStackServer, TheFamilyDecidesTheAddressMeasured) {
  const struct {
    std::vector<std::string> args;
    const char *server;  // the library's "server", PORT replaced by the server's port
  } cases[] = {
      {{"localhost", "-4"}, "127.0.0.1:"},
      {{"--ipv4", "127.0.0.1"}, "127.0.0.1:"},
      {{"-6", "::1"}, "::1:"},
      {{"[::1]", "--ipv6"}, "::1:"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = c.args;
    SCOPED_TRACE(args[0] + " " + args[1]);
    args.insert(args.end(), {"--port", port_, "--only", "ping", "--count", "2", "--json"});
    const CliResult r = run_cli(args);
    ASSERT_TRUE(r.finished);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(parse_result(r.out).server, c.server + port_);
    EXPECT_EQ(r.err, "");
  }

  // On the terminal summary, the name and the address measured.
  const CliResult named = run_cli({"localhost", "-4", "--port", port_, "--only", "ping", "--count", "2"});
  ASSERT_EQ(named.exit_code, 0) << named.err;
  EXPECT_EQ(split_lines(named.out).at(0), "Server     localhost (127.0.0.1:" + port_ + ")");

  // An address of the other family is no address at all.
  const CliResult wrong = run_cli({"127.0.0.1", "-6", "--port", port_, "--only", "ping"});
  EXPECT_EQ(wrong.exit_code, 1);
  EXPECT_EQ(wrong.err.rfind("kestrum: cannot resolve 127.0.0.1 (IPv6): ", 0), 0u) << wrong.err;
  EXPECT_EQ(wrong.out, "");
  // A stream says so too, as its one line.
  const CliResult streamed = run_cli({"127.0.0.1", "-6", "--port", port_, "--json-stream"});
  EXPECT_EQ(streamed.exit_code, 1);
  EXPECT_EQ(streamed.out.rfind("{\"type\":\"error\",\"message\":\"cannot resolve 127.0.0.1 (IPv6): ", 0), 0u)
      << streamed.out;
  EXPECT_EQ(split_lines(streamed.out).size(), 1u) << streamed.out;
}

TEST(BundledServer, ListensOnTheLoopbackOfTheFamilyAsked) {
  const CliResult r = run_cli({"-6", "--only", "ping", "--count", "2", "--json"});
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(parse_result(r.out).server.rfind("::1:", 0), 0u) << r.out;
  EXPECT_NE(r.err.find("bundled server on [::1]:"), std::string::npos) << r.err;

  // A stream's start names the server as the result will.
  const CliResult streamed = run_cli({"-6", "--only", "ping", "--count", "1", "--json-stream"});
  ASSERT_EQ(streamed.exit_code, 0) << streamed.err;
  const std::vector<std::string> lines = split_lines(streamed.out);
  ASSERT_EQ(lines.size(), 3u) << streamed.out;  // start, one sample, result
  const std::string server = parse_result(lines[0]).server;
  EXPECT_EQ(server.rfind("::1:", 0), 0u) << lines[0];
  EXPECT_NE(lines[2].find("\"result\":{\"server\":\"" + server + "\""), std::string::npos) << lines[2];
}

TEST_F(DualStackServer, OfSeveralServersTheLowestMedianIsMeasuredAndTheUnreachableSkipped) {
  // A server that answers each ping 150 ms late, listed first, and one that does not listen at all.
  FakeServer slow(fake::ping_delays({150, 150, 150}));
  ASSERT_TRUE(slow.ok());
  const std::string slow_port = std::to_string(slow.port());
  const std::string closed = std::to_string(unused_port());

  const std::string path = ::testing::TempDir() + "kestrum-servers.txt";
  std::FILE *file = std::fopen(path.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fprintf(file, "# candidates\n127.0.0.1:%s\n\n  [::1]:%s   # the fast one, over IPv6\n", closed.c_str(),
               port_.c_str());
  std::fclose(file);

  const CliResult r =
      run_cli({"127.0.0.1:" + slow_port, "--servers", path, "--only", "ping", "--count", "2", "--json"});
  ASSERT_TRUE(r.finished);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(parse_result(r.out).server, "::1:" + port_);
  EXPECT_EQ(slow.accepted(), 3) << "three pings for the slow candidate, nothing more";
  EXPECT_NE(r.err.find("Measuring [::1]:" + port_ + ": the lowest median latency"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("skipped 127.0.0.1:" + closed), std::string::npos) << r.err;

  const std::vector<CandidateDoc> c = candidates_of(r.out);
  ASSERT_EQ(c.size(), 3u) << r.out;
  EXPECT_EQ(c[0].port, slow.port());
  EXPECT_GE(c[0].median_ms, 150);
  EXPECT_FALSE(c[0].chosen);
  EXPECT_EQ(c[1].host, "127.0.0.1");
  EXPECT_EQ(c[1].error, "no answer to 3 pings");
  EXPECT_FALSE(c[1].chosen);
  EXPECT_EQ(c[2].host, "::1");
  EXPECT_GE(c[2].median_ms, 0);
  EXPECT_LT(c[2].median_ms, 150);
  EXPECT_TRUE(c[2].chosen);
  std::remove(path.c_str());
}

// A --servers file is read only when it is a regular file of bounded size; a line that would measure
// something else than it says (a NUL cuts the host short) or could not be reported (not UTF-8) is refused
// by its number, and nothing is measured.
TEST(ServersFile, BadFilesAreRefusedWithStatus2AndTheLineNumber) {
  std::string many;
  for (int i = 0; i < 257; ++i) many += "127.0.0." + std::to_string(1 + i % 200) + "\n";
  const struct {
    const char *what;
    std::string content;
    const char *says;  // after "kestrum: --servers: PATH"
  } cases[] = {
      {"a NUL in a line", std::string("# list\n127.0.0.1\0:9\n", 20), ":2: the line holds a NUL byte"},
      {"not UTF-8", "127.0.0.1\n\xff\xfe.example\n", ":2: the line is not UTF-8 text"},
      {"an overlong UTF-8 form", "\xc0\xaf\n", ":1: the line is not UTF-8 text"},
      {"a NUL in a comment", std::string("127.0.0.1 # a\0b\n", 16), ":1: the line holds a NUL byte"},
      {"a line of 50 000 bytes", "127.0.0.1\n" + std::string(50000, 'a') + "\n",
       ":2: the line is longer than 1024 bytes"},
      {"two names on a line", "a.example b.example\n",
       ":1: one HOST[:PORT] a line, not 'a.example b.example'"},
      {"an escape sequence", "\x1b[2J\n", ":1: '\\x1b[2J' is not HOST"},
      {"a bad port", "\n\n127.0.0.1:0\n", ":3: '127.0.0.1:0' is not HOST, HOST:PORT or [IPV6]:PORT"},
      {"257 servers", many, ": more than 256 servers"},
      {"2 MB", std::string(2 * 1024 * 1024, '#'), "' is larger than 1048576 bytes"},
  };
  const std::string path = ::testing::TempDir() + "kestrum-bad-servers.txt";
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::FILE *file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(c.content.data(), 1, c.content.size(), file);
    std::fclose(file);
    const CliResult r = run_cli({"--servers", path, "--only", "ping", "--count", "1"}, 10000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("No server given"), std::string::npos) << r.err;
    EXPECT_LT(r.err.size(), 400u) << "the file's text is never echoed whole";
    EXPECT_EQ(r.out, "");
  }
  std::remove(path.c_str());
}

TEST(ServersFile, AFifoNobodyWritesIsRefusedAtOnce) {
  const std::string path = ::testing::TempDir() + "kestrum-servers-" + std::to_string(getpid()) + ".fifo";
  std::remove(path.c_str());
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  // Nobody ever writes to it: a reader that opened it to wait would never finish.
  const CliResult r = run_cli({"--servers", path}, 10000);
  std::remove(path.c_str());
  ASSERT_TRUE(r.finished) << "blocked on the FIFO";
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("' is not a regular file"), std::string::npos) << r.err;
}

TEST(SeveralServers, NoneAnsweringFailsWithEachReason) {
  const std::string a = std::to_string(unused_port());
  const std::string b = std::to_string(unused_port());
  const CliResult r = run_cli({"127.0.0.1:" + a, "[::1]:" + b, "--json"});
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "kestrum: no server answered: 127.0.0.1:" + a + ": no answer to 3 pings; [::1]:" + b +
                       ": no answer to 3 pings\n");
  EXPECT_EQ(r.out, "");
}

}  // namespace
