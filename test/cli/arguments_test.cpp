// The command line: what is refused with exit status 2, and the help.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_process.h"

namespace {

struct BadCommandLine {
  std::vector<std::string> args;
  const char *says;  // a fragment of the one-line message
};

// Each of these must be refused before anything is measured or any server started.
const BadCommandLine kBadCommandLines[] = {
    {{"--bogus"}, "unknown option '--bogus'"},
    {{"-x"}, "unknown option '-x'"},
    {{"-"}, "unknown option '-'"},
    {{"h:"}, "'h:' is not HOST, HOST:PORT or [IPV6]:PORT"},
    {{"h", "h:0"}, "'h:0' is not HOST"},
    {{"[::1]:99999"}, "'[::1]:99999' is not HOST"},
    {{"[::1"}, "'[::1' is not HOST"},
    {{"[::1]x"}, "'[::1]x' is not HOST"},
    {{"--", "h", "--json:x"}, "'--json:x' is not HOST"},  // after "--", nothing is an option
    {{"-4", "-6"}, "-4 and -6 exclude each other"},
    {{"--ipv6", "--ipv4"}, "-4 and -6 exclude each other"},
    {{"--ipv4=yes"}, "--ipv4 takes no value"},
    {{"--servers"}, "--servers needs a value"},
    {{"--servers", "/nonexistent/servers.txt"}, "--servers: cannot read '/nonexistent/servers.txt'"},
    {{"--servers", "/dev/null"}, "--servers: '/dev/null' names no server"},
    {{""}, "HOST must not be empty"},
    {{"h", "--port"}, "--port needs a value"},
    {{"h", "--port", "abc"}, "--port: 'abc'"},
    {{"h", "--port", "0"}, "--port: '0'"},
    {{"h", "--port", "65536"}, "--port: '65536'"},
    {{"h", "--port", "-1"}, "--port: '-1'"},
    {{"h", "--port", "+80"}, "--port: '+80'"},
    {{"h", "--port", "80x"}, "--port: '80x'"},
    {{"h", "--port", " 80"}, "--port: ' 80'"},
    {{"h", "--port", "0x50"}, "--port: '0x50'"},
    {{"h", "--port=99999999999999999999999"}, "--port: '99999999999999999999999'"},
    {{"--duration", "0"}, "--duration: '0'"},
    {{"--duration", "1.5"}, "--duration: '1.5'"},
    {{"--duration", "2147483648"}, "--duration: '2147483648'"},
    {{"--only", "ping", "--count", "0"}, "--count: '0'"},
    {{"--only", "ping", "--count", "1001"}, "--count: '1001'"},
    {{"--only", "bandwidth"}, "--only: 'bandwidth'"},
    {{"--only="}, "--only: ''"},
    {{"--json=yes"}, "--json takes no value"},
    {{"--json-stream=1"}, "--json-stream takes no value"},
    {{"--json", "--json-stream"}, "--json and --json-stream exclude each other"},
    {{"--repeat", "-1"}, "--repeat: '-1'"},
    {{"--repeat", "2", "--interval", "-1"}, "--interval: '-1'"},
    {{"--repeat", "2", "--interval", "nan"}, "--interval: 'nan'"},
    {{"--repeat", "2", "--interval", "1e3"}, "--interval: '1e3'"},
    {{"--repeat", "2", "--interval", "86401"}, "--interval: '86401'"},
    // Options that would do nothing in the given combination.
    {{"--port", "9301"}, "--port needs a HOST"},
    {{"--count", "5"}, "--count applies to --only ping"},
    {{"--only", "download", "--count", "5"}, "--count applies to --only ping"},
    {{"--only", "ping", "--duration", "300"}, "--duration applies to the transfers"},
    {{"--interval", "5"}, "--interval applies to --repeat"},
    {{"--each"}, "--each needs the servers to measure"},
    {{"--each=1", "h"}, "--each takes no value"},
    {{"--metrics-file="}, "--metrics-file needs a file name"},
    {{"h", "--state-file", "s"}, "--state-file applies to --metrics-file"},
    {{"h", "--state-file", "k", "--metrics-file", "k"},
     "--state-file and --metrics-file must name different"},
};

TEST(Arguments, BadCommandLinesExitWithStatus2AndSayWhy) {
  for (const auto &c : kBadCommandLines) {
    std::string shown;
    for (const auto &a : c.args) shown += "[" + a + "] ";
    SCOPED_TRACE(shown);
    const CliResult r = run_cli(c.args, 10000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("kestrum: " + std::string(c.says)), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Try 'kestrum --help'"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("No server given"), std::string::npos) << "a server was started: " << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(Arguments, HelpDocumentsEveryOptionAndExitsWith0) {
  for (const std::string flag : {"--help", "-h"}) {
    SCOPED_TRACE(flag);
    // Help wins over anything after it, even what would be refused.
    const CliResult r = run_cli({flag, "--bogus"}, 10000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Usage: kestrum [HOST[:PORT]...]", 0), 0u) << r.out;
    for (const char *option : {"--port N", "--duration MS", "--count N", "--only TEST", "--json",
                               "--json-stream", "--repeat N", "--interval S", "-4, --ipv4", "-6, --ipv6",
                               "--servers FILE", "--each", "--metrics-file PATH", "--state-file PATH"}) {
      EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
    EXPECT_NE(r.out.find("default 9301"), std::string::npos);
    EXPECT_NE(r.out.find("130 cancelled"), std::string::npos);
  }
}

TEST(Arguments, VersionPrintsOneLine) {
  const CliResult r = run_cli({"--version"}, 10000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "kestrum " KESTRUM_VERSION "\n");
}

}  // namespace
