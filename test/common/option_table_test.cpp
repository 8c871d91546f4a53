// The reader of the programs' tables of options: every kind of value in every form it may be written,
// and each way a command line goes wrong, with the message it gets.
#include "option_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

enum class Colour { red, green };

// Where a test table's values go; every member starts at a value no option gives.
struct Targets {
  bool verbose = false;
  int count = -1;
  long long big = -1;
  double ratio = -1;
  int wait_ms = -1;
  int timeout_ms = -1;
  int span_ms = -1;
  std::string name = "unset";
  Colour colour = Colour::red;
  int side = 0;  // -l and -r: one side, asked for as often as one likes
  std::vector<std::string> operands;
};

std::vector<OptionRow> table(Targets *t) {
  auto side = [t](int s) {
    return [t, s](const OptionValue &, std::string *error) {
      if (t->side != 0 && t->side != s) {
        *error = "-l and -r exclude each other";
        return false;
      }
      t->side = s;
      return true;
    };
  };
  return {
      help_paragraph("Usage: tool [options]\n\n"),
      option("verbose", 'v').flag(&t->verbose).says("say more"),
      option("count", 'c', "N").whole(1, 100, &t->count).says("how many, 1 to 100"),
      option("big", 0, "N").whole(0, 5000000000LL, &t->big).says("a number past an int"),
      option("ratio", 0, "R").decimal(0, 2.5, &t->ratio).says("a fraction\nof one"),
      option("wait", 'w', "SECONDS").seconds(1, 10000, &t->wait_ms).says("exact to the millisecond"),
      option("timeout", 0, "SEC").rounded_seconds(1, 3600000, &t->timeout_ms).says("rounded"),
      option("span", 0, "LENGTH").length(1, 60000, &t->span_ms, "-w").says("with its unit"),
      option("name", 0, "TEXT").text(&t->name).expects("a name").says("any text"),
      option("colour", 0, "C")
          .choice<Colour>({{"red", Colour::red}, {"green", Colour::green}}, &t->colour)
          .says("red or green"),
      option("left", 'l').then(side(1)).says("the left side"),
      option("right", 'r').then(side(2)).says("the right side"),
      option("a-very-long-option-name", 0, "VALUE").text(&t->name).says("its help on a line of its own"),
      option("help", 'h').ending().says("show this help"),
      help_paragraph("\nThe end.\n"),
  };
}

std::string plain(const std::string &value) { return "'" + value + "'"; }

// Every member, so that a case shows all a reading changed and nothing else.
std::string render(const Targets &t) {
  std::string text = "verbose=" + std::to_string(t.verbose) + " count=" + std::to_string(t.count) +
                     " big=" + std::to_string(t.big) + " ratio=" + std::to_string(t.ratio) +
                     " wait_ms=" + std::to_string(t.wait_ms) + " timeout_ms=" + std::to_string(t.timeout_ms) +
                     " span_ms=" + std::to_string(t.span_ms) + " name=" + t.name +
                     " colour=" + std::to_string(static_cast<int>(t.colour)) +
                     " side=" + std::to_string(t.side) + " operands=";
  for (const auto &o : t.operands) text += "[" + o + "]";
  return text;
}

struct Good {
  std::vector<std::string> args;
  void (*expect)(Targets *);  // what the reading changes from the defaults
};

const Good kGood[] = {
    {{}, [](Targets *) {}},
    {{"--verbose"}, [](Targets *t) { t->verbose = true; }},
    {{"-v"}, [](Targets *t) { t->verbose = true; }},
    // A whole number in each of the four forms, at both ends of its range.
    {{"--count", "1"}, [](Targets *t) { t->count = 1; }},
    {{"--count=100"}, [](Targets *t) { t->count = 100; }},
    {{"-c", "7"}, [](Targets *t) { t->count = 7; }},
    {{"-c42"}, [](Targets *t) { t->count = 42; }},
    {{"--count", "3", "--count", "4"}, [](Targets *t) { t->count = 4; }},  // the last one counts
    {{"--big", "5000000000"}, [](Targets *t) { t->big = 5000000000LL; }},
    {{"--ratio", "2.5"}, [](Targets *t) { t->ratio = 2.5; }},
    {{"--ratio=0"}, [](Targets *t) { t->ratio = 0; }},
    {{"--ratio", "0.125"}, [](Targets *t) { t->ratio = 0.125; }},
    // Seconds, exact: a trailing zero past the millisecond is no lost digit.
    {{"--wait", "2.5"}, [](Targets *t) { t->wait_ms = 2500; }},
    {{"-w0.001"}, [](Targets *t) { t->wait_ms = 1; }},
    {{"-w", "10"}, [](Targets *t) { t->wait_ms = 10000; }},
    {{"--wait=1.0000"}, [](Targets *t) { t->wait_ms = 1000; }},
    // Seconds, rounded to the millisecond, never to 0.
    {{"--timeout", "0.0001"}, [](Targets *t) { t->timeout_ms = 1; }},
    {{"--timeout", "1.2345"}, [](Targets *t) { t->timeout_ms = 1235; }},
    {{"--timeout", "3600"}, [](Targets *t) { t->timeout_ms = 3600000; }},
    {{"--span", "1.5s"}, [](Targets *t) { t->span_ms = 1500; }},
    {{"--span=2500ms"}, [](Targets *t) { t->span_ms = 2500; }},
    {{"--span", "60s"}, [](Targets *t) { t->span_ms = 60000; }},
    {{"--name", "x y"}, [](Targets *t) { t->name = "x y"; }},
    {{"--name=a=b"}, [](Targets *t) { t->name = "a=b"; }},  // only the first '=' splits
    // A value is the next argument whatever it looks like.
    {{"--name", "--verbose"}, [](Targets *t) { t->name = "--verbose"; }},
    {{"--name", "-"}, [](Targets *t) { t->name = "-"; }},
    {{"--colour", "green"}, [](Targets *t) { t->colour = Colour::green; }},
    {{"-l", "--left"}, [](Targets *t) { t->side = 1; }},
    {{"a", "-v", "b"},
     [](Targets *t) {
       t->verbose = true;
       t->operands = {"a", "b"};
     }},
    {{"--", "-v", "--count", ""},
     [](Targets *t) {
       t->operands = {"-v", "--count", ""};
     }},
};

TEST(OptionTable, ReadsEveryKindInEveryForm) {
  for (const auto &c : kGood) {
    std::string shown;
    for (const auto &a : c.args) shown += "[" + a + "] ";
    SCOPED_TRACE(shown);
    Targets got;
    const auto rows = table(&got);
    const OptionReading r = read_options(rows, c.args, [&got](const std::string &arg, std::string *) {
      got.operands.push_back(arg);
      return true;
    });
    ASSERT_EQ(r.outcome, OptionReading::Outcome::done) << option_error_text(r.error, plain);
    Targets want;
    c.expect(&want);
    EXPECT_EQ(render(got), render(want));
  }
}

struct Bad {
  std::vector<std::string> args;
  OptionError::What what;
  const char *says;  // the whole message in the usual words
};

const Bad kBad[] = {
    {{"--bogus"}, OptionError::What::unknown, "unknown option '--bogus'"},
    {{"--bogus=1"}, OptionError::What::unknown, "unknown option '--bogus'"},
    {{"-x"}, OptionError::What::unknown, "unknown option '-x'"},
    {{"-"}, OptionError::What::unknown, "unknown option '-'"},
    {{"--"}, OptionError::What::unknown, "unknown option '--'"},  // no operands: "--" ends nothing
    {{"--=1"}, OptionError::What::unknown, "unknown option '--'"},
    {{"-vx"}, OptionError::What::unknown, "unknown option '-vx'"},  // a flag's letter stands alone
    {{"-hx"}, OptionError::What::unknown, "unknown option '-hx'"},
    {{"a"}, OptionError::What::unknown, "unknown option 'a'"},  // no operands: nothing but options
    {{"--verbose=yes"}, OptionError::What::takes_no_value, "--verbose takes no value"},
    {{"--help=1"}, OptionError::What::takes_no_value, "--help takes no value"},
    {{"--count"}, OptionError::What::needs_value, "--count needs a value"},
    {{"-c"}, OptionError::What::needs_value, "-c needs a value"},
    {{"--count", "0"}, OptionError::What::bad_value, "--count: '0' is not a whole number from 1 to 100"},
    {{"-c101"}, OptionError::What::bad_value, "-c: '101' is not a whole number from 1 to 100"},
    {{"--count=+5"}, OptionError::What::bad_value, "--count: '+5' is not a whole number from 1 to 100"},
    {{"--count", " 5"}, OptionError::What::bad_value, "--count: ' 5' is not a whole number from 1 to 100"},
    {{"--count", "5x"}, OptionError::What::bad_value, "--count: '5x' is not a whole number from 1 to 100"},
    {{"--count", "2.0"}, OptionError::What::bad_value, "--count: '2.0' is not a whole number from 1 to 100"},
    {{"--count", "99999999999999999999"},
     OptionError::What::bad_value,
     "--count: '99999999999999999999' is not a whole number from 1 to 100"},
    {{"--big", "5000000001"},
     OptionError::What::bad_value,
     "--big: '5000000001' is not a whole number from 0 to 5000000000"},
    {{"--ratio", "2.6"}, OptionError::What::bad_value, "--ratio: '2.6' is not a number from 0 to 2.5"},
    {{"--ratio", "1e0"}, OptionError::What::bad_value, "--ratio: '1e0' is not a number from 0 to 2.5"},
    {{"--ratio", "-0"}, OptionError::What::bad_value, "--ratio: '-0' is not a number from 0 to 2.5"},
    {{"--ratio", "nan"}, OptionError::What::bad_value, "--ratio: 'nan' is not a number from 0 to 2.5"},
    {{"-w", "0"},
     OptionError::What::bad_value,
     "-w: '0' is not a number of seconds from 0.001 to 10, in whole milliseconds"},
    {{"-w", "1.0005"},
     OptionError::What::bad_value,
     "-w: '1.0005' is not a number of seconds from 0.001 to 10"},
    {{"-w", "10.001"}, OptionError::What::bad_value, "-w: '10.001' is not a number of seconds"},
    {{"-w", ".5"}, OptionError::What::bad_value, "-w: '.5' is not a number of seconds"},
    {{"-w", "5."}, OptionError::What::bad_value, "-w: '5.' is not a number of seconds"},
    {{"-w", "1s"}, OptionError::What::bad_value, "-w: '1s' is not a number of seconds"},
    {{"--timeout", "0"},
     OptionError::What::bad_value,
     "--timeout: '0' is not a number of seconds above 0, at most 3600"},
    {{"--timeout", "3600.0004"},
     OptionError::What::bad_value,
     "--timeout: '3600.0004' is not a number of seconds"},
    {{"--timeout", "-1"}, OptionError::What::bad_value, "--timeout: '-1' is not a number of seconds"},
    {{"--span", "10"},
     OptionError::What::bad_value,
     "--span: '10' has no unit: write 10s for seconds or 10ms for milliseconds (or -w 10)"},
    {{"--span", "0.5"}, OptionError::What::bad_value, "--span: '0.5' has no unit"},
    {{"--span", "0ms"},
     OptionError::What::bad_value,
     "--span: '0ms' is not a length such as 10s, 1.5s or 2500ms, from 1ms to 60000ms in whole milliseconds"},
    {{"--span", "1.5ms"}, OptionError::What::bad_value, "--span: '1.5ms' is not a length"},
    {{"--span", "60.001s"}, OptionError::What::bad_value, "--span: '60.001s' is not a length"},
    {{"--span", "ms"}, OptionError::What::bad_value, "--span: 'ms' is not a length"},
    {{"--span", "1m"}, OptionError::What::bad_value, "--span: '1m' is not a length"},
    {{"--span", "1.2.3"}, OptionError::What::bad_value, "--span: '1.2.3' is not a length"},
    {{"--name="}, OptionError::What::bad_value, "--name needs a name"},
    {{"--colour", "blue"}, OptionError::What::bad_value, "--colour: 'blue' is not one of red, green"},
    {{"--colour", "Red"}, OptionError::What::bad_value, "--colour: 'Red' is not one of red, green"},
    {{"-l", "-r"}, OptionError::What::refused, "-l and -r exclude each other"},
    // The first fault ends the reading, and an ending option only ends it if it comes before one.
    {{"--count", "0", "--bogus"}, OptionError::What::bad_value, "--count: '0'"},
    {{"--bogus", "--help"}, OptionError::What::unknown, "unknown option '--bogus'"},
};

TEST(OptionTable, RefusesWithOneLineSayingWhy) {
  for (const auto &c : kBad) {
    std::string shown;
    for (const auto &a : c.args) shown += "[" + a + "] ";
    SCOPED_TRACE(shown);
    Targets got;
    const auto rows = table(&got);
    const OptionReading r = read_options(rows, c.args);
    ASSERT_EQ(r.outcome, OptionReading::Outcome::refused);
    EXPECT_EQ(r.error.what, c.what);
    const std::string text = option_error_text(r.error, plain);
    EXPECT_EQ(text.rfind(c.says, 0), 0u) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  }
}

TEST(OptionTable, OperandsAreReadInOrderAndMayRefuse) {
  Targets got;
  const auto rows = table(&got);
  auto no_empty = [&got](const std::string &arg, std::string *why) {
    if (arg.empty()) {
      *why = "an operand must not be empty";
      return false;
    }
    got.operands.push_back(arg);
    return true;
  };
  const OptionReading r = read_options(rows, {"a", "-v", "", "b"}, no_empty);
  ASSERT_EQ(r.outcome, OptionReading::Outcome::refused);
  EXPECT_EQ(option_error_text(r.error, plain), "an operand must not be empty");
  EXPECT_EQ(got.operands, std::vector<std::string>{"a"});
  EXPECT_TRUE(got.verbose);
}

TEST(OptionTable, AnEndingOptionStopsTheReadingAndSaysWhich) {
  for (const std::vector<std::string> &args : {std::vector<std::string>{"--help", "--bogus"},
                                               std::vector<std::string>{"-c", "3", "-h", "-c", "0"}}) {
    Targets got;
    const auto rows = table(&got);
    const OptionReading r = read_options(rows, args);
    EXPECT_EQ(r.outcome, OptionReading::Outcome::ended);
    EXPECT_EQ(r.ended, "help");
    EXPECT_NE(got.count, 0);  // nothing after it was read
  }
}

TEST(OptionTable, SaysWhichOptionsWereGiven) {
  Targets got;
  const auto rows = table(&got);
  const OptionReading r = read_options(rows, {"-c", "5", "--name=x", "-v"});
  ASSERT_EQ(r.outcome, OptionReading::Outcome::done);
  EXPECT_EQ(r.given, (std::vector<std::string>{"count", "name", "verbose"}));
  EXPECT_TRUE(r.was_given("count"));
  EXPECT_FALSE(r.was_given("ratio"));
}

TEST(OptionTable, HelpIsTheTableInItsColumns) {
  Targets unused;
  const std::string help = option_help(table(&unused), 20);
  EXPECT_EQ(help,
            "Usage: tool [options]\n"
            "\n"
            "  -v, --verbose     say more\n"
            "  -c, --count N     how many, 1 to 100\n"
            "  --big N           a number past an int\n"
            "  --ratio R         a fraction\n"
            "                    of one\n"
            "  -w, --wait SECONDS\n"
            "                    exact to the millisecond\n"
            "  --timeout SEC     rounded\n"
            "  --span LENGTH     with its unit\n"
            "  --name TEXT       any text\n"
            "  --colour C        red or green\n"
            "  -l, --left        the left side\n"
            "  -r, --right       the right side\n"
            "  --a-very-long-option-name VALUE\n"
            "                    its help on a line of its own\n"
            "  -h, --help        show this help\n"
            "\n"
            "The end.\n");
}

}  // namespace
