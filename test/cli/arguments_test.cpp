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
    {{"--servers", "/dev/null"}, "--servers: '/dev/null' is not a regular file"},
    {{"--servers", "/dev/zero"}, "--servers: '/dev/zero' is not a regular file"},
    {{"--servers", "/"}, "--servers: '/' is not a regular file"},
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
    {{"h", "-p", "0"}, "-p: '0' is not a whole number from 1 to 65535"},
    {{"h", "-p"}, "-p needs a value"},
    // Durations: -t in seconds, --duration with its unit; a bare number to --duration is what read as
    // milliseconds once, so it is refused with both spellings shown.
    {{"--duration", "10"},
     "--duration: '10' has no unit: write 10s for seconds or 10ms for milliseconds (or -t 10)"},
    {{"--duration", "1.5"}, "--duration: '1.5' has no unit: write 1.5s for seconds or 1.5ms"},
    {{"--duration=2500"}, "--duration: '2500' has no unit"},
    {{"--duration", "0s"}, "--duration: '0s' is not a length such as 10s, 1.5s or 2500ms"},
    {{"--duration", "0ms"}, "--duration: '0ms' is not a length"},
    {{"--duration", "2.5ms"}, "--duration: '2.5ms' is not a length"},  // no fraction of a millisecond
    {{"--duration", "1.0005s"}, "--duration: '1.0005s' is not a length"},
    {{"--duration", "2147483648ms"}, "--duration: '2147483648ms' is not a length"},
    {{"--duration", "2147483.648s"}, "--duration: '2147483.648s' is not a length"},
    {{"--duration", "10m"}, "--duration: '10m' is not a length"},
    {{"--duration", "s"}, "--duration: 's' is not a length"},
    {{"--duration", "-1s"}, "--duration: '-1s' is not a length"},
    {{"--duration", " 1s"}, "--duration: ' 1s' is not a length"},
    {{"--duration", "1e3ms"}, "--duration: '1e3ms' is not a length"},
    {{"-t", "0"}, "-t: '0' is not a number of seconds from 0.001 to 2147483.647"},
    {{"-t", "0.0004"}, "-t: '0.0004' is not a number of seconds"},
    {{"-t", "1.0005"}, "-t: '1.0005' is not a number of seconds"},
    {{"-t", "2147483.648"}, "-t: '2147483.648' is not a number of seconds"},
    {{"-t", "1e3"}, "-t: '1e3' is not a number of seconds"},
    {{"-t", ".5"}, "-t: '.5' is not a number of seconds"},
    {{"-t", "5."}, "-t: '5.' is not a number of seconds"},
    {{"-t", "10s"}, "-t: '10s' is not a number of seconds"},
    {{"-t-1"}, "-t: '-1' is not a number of seconds"},
    {{"--time=abc"}, "--time: 'abc' is not a number of seconds"},
    {{"-t"}, "-t needs a value"},
    {{"-J=1"}, "unknown option '-J=1'"},
    {{"-Vx"}, "unknown option '-Vx'"},
    {{"-tt"}, "-t: 't' is not a number of seconds"},
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
    {{"--only", "ping", "--duration", "300ms"}, "-t and --duration apply to the transfers"},
    {{"--only", "ping", "-t", "3"}, "-t and --duration apply to the transfers"},
    // What comes from the user is quoted safely: escaped, never echoed whole.
    {{"\xff"}, "HOST '\\xff' is not UTF-8 text"},
    {{"h\x1b[31m:0"}, "'h\\x1b[31m:0' is not HOST"},
    {{"--only", "\x1b]0;x\x07"}, "--only: '\\x1b]0;x\\x07' is not one of"},
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
    for (const char *option : {"-p, --port N", "-t, --time SECONDS", "--duration LENGTH", "--count N",
                               "--only TEST", "-J, --json", "--json-stream", "--repeat N", "--interval S",
                               "-4, --ipv4", "-6, --ipv6", "--servers FILE", "--each", "--metrics-file PATH",
                               "--state-file PATH", "--plot FILE.svg", "-V, --version", "default 5)"}) {
      EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
    EXPECT_NE(r.out.find("default 9301"), std::string::npos);
    EXPECT_NE(r.out.find("130 cancelled"), std::string::npos);
  }
}

TEST(Arguments, VersionPrintsOneLine) {
  for (const std::string flag : {"--version", "-V"}) {
    const CliResult r = run_cli({flag}, 10000);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "kestrum " KESTRUM_VERSION "\n");
  }
}

TEST(Arguments, AHugeArgumentIsQuotedShort) {
  const std::string huge(100000, 'a');
  const CliResult r = run_cli({"--only", huge}, 10000);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("... (100000 bytes)' is not one of ping, download, upload"), std::string::npos)
      << r.err;
  EXPECT_LT(r.err.size(), 400u);
}

}  // namespace
