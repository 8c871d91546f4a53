// The command lines of kestrum-server and kestrum, each written once as a table: a row per option says its
// names, what its value must be, where the value goes and its lines of --help. read_options() walks the
// arguments against the table and option_help() prints it, so an option is added by adding its row.
//
// What the reader takes, for every program alike:
//   --name value   --name=value   -x value   -xvalue (a short letter with its value attached)
//   --flag   -x   (a flag or an ending option takes no value: --flag=1 and -xy are refused)
// A value is taken from the next argument whatever it looks like ("--port --help" gives --port the value
// "--help"). Arguments are read in order and the first fault ends the reading, so an ending option
// (--help) wins over anything after it and loses to a fault before it. Arguments that are not options
// go to the program's own reader of operands, if it has one; then "--" ends the options.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

enum class OptionKind {
  paragraph,  // no option: a paragraph of --help, printed as it is
  flag,       // no value
  ending,     // no value; ends the reading, the program then prints its help or version and exits
  whole,      // a whole number within [min, max]
  decimal,    // a plain decimal within [decimal_min, decimal_max]
  seconds,    // plain decimal seconds into whole milliseconds within [min, max]
  length,     // a length with its unit, "10s", "1.5s" or "2500ms", into milliseconds within [min, max]
  text,       // any text but the empty one
  choice,     // one of the words in choices
};

// A value as read, in the member its row's kind fills.
struct OptionValue {
  std::string text;     // as given, for every kind that takes one
  long long whole = 0;  // whole, seconds and length (milliseconds)
  double decimal = 0;   // decimal
  size_t choice = 0;    // choice: the index of the word in choices
};

// Stores a value; false with *error set refuses it, for a clash with what was given before.
using OptionSetter = std::function<bool(const OptionValue &, std::string *error)>;

struct OptionRow {
  OptionKind kind = OptionKind::paragraph;
  std::string name;         // the long name without "--"; empty for a paragraph
  char letter = 0;          // the short form's letter; 0 for none
  std::string placeholder;  // the value's name in --help ("N", "SEC"); empty for flags
  std::string help;         // what --help says, lines joined by '\n', without their indent
  long long min = 0;        // whole; seconds and length: in milliseconds
  long long max = 0;
  double decimal_min = 0;
  double decimal_max = 0;
  // seconds: a fraction of a millisecond is rounded to the nearest (to min at least) instead of refused,
  // and the range is any positive number of seconds up to max.
  bool rounded = false;
  std::vector<std::string> choices;
  std::string expected;          // what a bad value is said not to be, where the kind's own words do not do
  std::string bare_alternative;  // length: the option that takes a bare number, named when one is given
  OptionSetter set;

  // The kinds, each with where its value goes. Every one returns the row, for the next call.
  OptionRow &flag(bool *target);
  OptionRow &ending();
  template <typename T>
  OptionRow &whole(long long low, long long high, T *target) {
    return whole(low, high, [target](const OptionValue &v, std::string *) {
      *target = static_cast<T>(v.whole);
      return true;
    });
  }
  OptionRow &whole(long long low, long long high, OptionSetter setter);
  OptionRow &decimal(double low, double high, double *target);
  OptionRow &seconds(long long low_ms, long long high_ms, int *target_ms);
  OptionRow &rounded_seconds(long long low_ms, long long high_ms, int *target_ms);
  // bare_alternative: the option that takes a bare number, which the message for one given here names.
  OptionRow &length(long long low_ms, long long high_ms, int *target_ms, std::string bare_alternative = "");
  OptionRow &text(std::string *target);
  template <typename T>
  OptionRow &choice(std::vector<std::pair<std::string, T>> words, T *target) {
    kind = OptionKind::choice;
    choices.clear();
    std::vector<T> values;
    for (auto &w : words) {
      choices.push_back(w.first);
      values.push_back(w.second);
    }
    set = [target, values](const OptionValue &v, std::string *) {
      *target = values[v.choice];
      return true;
    };
    return *this;
  }
  // Replaces where the value goes, keeping the kind: for a value that is checked against others.
  OptionRow &then(OptionSetter setter);
  OptionRow &says(std::string help_text);
  OptionRow &expects(std::string what);
};

// A row named --name, -letter (0: no short form), its value shown as placeholder in --help.
OptionRow option(const char *name, char letter = 0, const char *placeholder = "");
// A paragraph of --help between the options.
OptionRow help_paragraph(std::string text);

struct OptionError {
  enum class What {
    unknown,         // no such option; option is "--name" as typed before any '=', or the argument
    takes_no_value,  // a flag given "=value"
    needs_value,     // the last argument is an option that takes a value
    bad_value,       // the value is not what the row's kind takes
    refused,         // the row's setter or the operand reader refused it; message says why
  };
  What what = What::unknown;
  std::string option;    // as typed: "--port", "-p"
  std::string argument;  // the whole argument as given
  std::string value;
  const OptionRow *row = nullptr;  // unknown: none
  std::string message;             // refused: the setter's words
};

struct OptionReading {
  enum class Outcome { done, ended, refused };
  Outcome outcome = Outcome::done;
  std::string ended;               // ended: the ending option's name ("help")
  std::vector<std::string> given;  // the names of the options given, in order, repeats included
  OptionError error;               // refused

  bool was_given(const std::string &name) const;
};

// Reads an argument that is not an option; false with *error set refuses it.
using OperandReader = std::function<bool(const std::string &, std::string *error)>;

// Walks args against rows. Without an operand reader, an argument that is not an option is an unknown
// option, and "--" is one too.
OptionReading read_options(const std::vector<OptionRow> &rows, const std::vector<std::string> &args,
                           const OperandReader &operands = nullptr);

// The usual one-line message of a refusal: "--port: 'x' is not a whole number from 1 to 65535",
// "--port needs a value", "unknown option '--bogus'". quote writes a value as the message shows it.
std::string option_error_text(const OptionError &error,
                              const std::function<std::string(const std::string &)> &quote);

// The options' part of --help: each row's names from the third column, its help from column, on the
// same line when the names leave room and on the next otherwise; paragraphs as they are.
std::string option_help(const std::vector<OptionRow> &rows, size_t column);
