#include "option_table.h"

#include <algorithm>
#include <cstdio>

#include "decimal.h"

OptionRow &OptionRow::flag(bool *target) {
  kind = OptionKind::flag;
  set = [target](const OptionValue &, std::string *) {
    *target = true;
    return true;
  };
  return *this;
}

OptionRow &OptionRow::ending() {
  kind = OptionKind::ending;
  set = nullptr;
  return *this;
}

OptionRow &OptionRow::whole(long long low, long long high, OptionSetter setter) {
  kind = OptionKind::whole;
  min = low;
  max = high;
  set = std::move(setter);
  return *this;
}

OptionRow &OptionRow::decimal(double low, double high, double *target) {
  kind = OptionKind::decimal;
  decimal_min = low;
  decimal_max = high;
  set = [target](const OptionValue &v, std::string *) {
    *target = v.decimal;
    return true;
  };
  return *this;
}

namespace {

OptionSetter store_ms(int *target_ms) {
  return [target_ms](const OptionValue &v, std::string *) {
    *target_ms = static_cast<int>(v.whole);
    return true;
  };
}

// Milliseconds as seconds with their fraction: 1 as 0.001, 2147483647 as 2147483.647, 5000 as 5.
std::string ms_as_seconds(long long ms) {
  std::string text = std::to_string(ms / 1000);
  const long long rest = ms % 1000;
  if (rest != 0) {
    text += "." + std::to_string(1000 + rest).substr(1);  // the three digits, leading zeros kept
    while (text.back() == '0') text.pop_back();
  }
  return text;
}

// Milliseconds never reach an int's limit: the library and the server keep them in one.
constexpr long long kMaxMs = 2147483647;

}  // namespace

OptionRow &OptionRow::seconds(long long low_ms, long long high_ms, int *target_ms) {
  kind = OptionKind::seconds;
  min = low_ms;
  max = std::min(high_ms, kMaxMs);
  rounded = false;
  set = store_ms(target_ms);
  return *this;
}

OptionRow &OptionRow::rounded_seconds(long long low_ms, long long high_ms, int *target_ms) {
  seconds(low_ms, high_ms, target_ms);
  rounded = true;
  return *this;
}

OptionRow &OptionRow::length(long long low_ms, long long high_ms, int *target_ms, std::string alternative) {
  kind = OptionKind::length;
  bare_alternative = std::move(alternative);
  min = low_ms;
  max = std::min(high_ms, kMaxMs);
  set = store_ms(target_ms);
  return *this;
}

OptionRow &OptionRow::text(std::string *target) {
  kind = OptionKind::text;
  set = [target](const OptionValue &v, std::string *) {
    *target = v.text;
    return true;
  };
  return *this;
}

OptionRow &OptionRow::then(OptionSetter setter) {
  set = std::move(setter);
  return *this;
}

OptionRow &OptionRow::says(std::string help_text) {
  help = std::move(help_text);
  return *this;
}

OptionRow &OptionRow::expects(std::string what) {
  expected = std::move(what);
  return *this;
}

OptionRow option(const char *name, char letter, const char *placeholder) {
  OptionRow row;
  row.kind = OptionKind::flag;
  row.name = name;
  row.letter = letter;
  row.placeholder = placeholder;
  return row;
}

OptionRow help_paragraph(std::string text) {
  OptionRow row;
  row.help = std::move(text);
  return row;
}

bool OptionReading::was_given(const std::string &name) const {
  return std::find(given.begin(), given.end(), name) != given.end();
}

namespace {

bool takes_value(OptionKind kind) {
  return kind != OptionKind::paragraph && kind != OptionKind::flag && kind != OptionKind::ending;
}

// A length's value without its unit, and the unit's power of ten below a second; false without a unit.
bool split_unit(const std::string &text, std::string *number, int *shift) {
  if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
    *number = text.substr(0, text.size() - 2);
    *shift = 0;
    return true;
  }
  if (text.size() > 1 && text.back() == 's') {
    *number = text.substr(0, text.size() - 1);
    *shift = 3;
    return true;
  }
  return false;
}

// The value's text into the member its row's kind fills; false when it is not what the kind takes.
bool convert(const OptionRow &row, OptionValue *v) {
  const std::string &text = v->text;
  switch (row.kind) {
    case OptionKind::whole:
      return parse_decimal_whole(text, row.min, row.max, &v->whole);
    case OptionKind::decimal:
      return parse_decimal_seconds(text, row.decimal_max, &v->decimal) && v->decimal >= row.decimal_min;
    case OptionKind::seconds: {
      if (!row.rounded) return parse_decimal_scaled(text, 3, row.min, row.max, &v->whole);
      double s = 0;
      if (!parse_decimal_seconds(text, static_cast<double>(row.max) / 1000, &s) || !(s > 0)) return false;
      const double ms = s * 1000;
      v->whole = ms < static_cast<double>(row.min) ? row.min : static_cast<long long>(ms + 0.5);
      return true;
    }
    case OptionKind::length: {
      std::string number;
      int shift = 0;
      return split_unit(text, &number, &shift) &&
             parse_decimal_scaled(number, shift, row.min, row.max, &v->whole);
    }
    case OptionKind::text:
      return !text.empty();
    case OptionKind::choice: {
      const auto at = std::find(row.choices.begin(), row.choices.end(), text);
      v->choice = static_cast<size_t>(at - row.choices.begin());
      return at != row.choices.end();
    }
    case OptionKind::paragraph:
    case OptionKind::flag:
    case OptionKind::ending:
      break;
  }
  return true;
}

const OptionRow *find_long(const std::vector<OptionRow> &rows, const std::string &name) {
  for (const auto &row : rows) {
    if (row.kind != OptionKind::paragraph && row.name == name) return &row;
  }
  return nullptr;
}

const OptionRow *find_short(const std::vector<OptionRow> &rows, char letter) {
  if (letter == 0) return nullptr;
  for (const auto &row : rows) {
    if (row.kind != OptionKind::paragraph && row.letter == letter) return &row;
  }
  return nullptr;
}

}  // namespace

OptionReading read_options(const std::vector<OptionRow> &rows, const std::vector<std::string> &args,
                           const OperandReader &operands) {
  OptionReading reading;
  auto refuse = [&reading](OptionError::What what, const std::string &option, const std::string &argument,
                           const OptionRow *row) {
    reading.outcome = OptionReading::Outcome::refused;
    reading.error.what = what;
    reading.error.option = option;
    reading.error.argument = argument;
    reading.error.row = row;
    return reading;
  };

  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (operands && (options_done || arg.empty() || arg[0] != '-')) {
      std::string why;
      if (!operands(arg, &why)) {
        reading.error.message = why;
        return refuse(OptionError::What::refused, "", arg, nullptr);
      }
      continue;
    }
    if (operands && arg == "--") {
      options_done = true;
      continue;
    }

    // The row, the option as typed, and a value given in the same argument.
    const OptionRow *row = nullptr;
    std::string shown;
    bool attached = false;
    OptionValue value;
    if (arg.compare(0, 2, "--") == 0) {
      const size_t eq = arg.find('=');
      shown = arg.substr(0, eq);
      row = find_long(rows, shown.substr(2));
      if (row == nullptr) return refuse(OptionError::What::unknown, shown, arg, nullptr);
      attached = eq != std::string::npos;
      if (attached) value.text = arg.substr(eq + 1);
      if (attached && !takes_value(row->kind)) {
        return refuse(OptionError::What::takes_no_value, shown, arg, row);
      }
    } else {
      // "-x", "-x VALUE" or "-xVALUE"; a flag's letter stands alone ("-Vx" is no option).
      row = arg.size() >= 2 && arg[0] == '-' ? find_short(rows, arg[1]) : nullptr;
      if (row == nullptr || (!takes_value(row->kind) && arg.size() > 2)) {
        return refuse(OptionError::What::unknown, arg, arg, nullptr);
      }
      shown = arg.substr(0, 2);
      attached = arg.size() > 2;
      if (attached) value.text = arg.substr(2);
    }

    if (takes_value(row->kind) && !attached) {
      if (i + 1 >= args.size()) return refuse(OptionError::What::needs_value, shown, arg, row);
      value.text = args[++i];
    }
    if (!convert(*row, &value)) {
      reading.error.value = value.text;
      return refuse(OptionError::What::bad_value, shown, arg, row);
    }
    reading.given.push_back(row->name);
    if (row->kind == OptionKind::ending) {
      reading.outcome = OptionReading::Outcome::ended;
      reading.ended = row->name;
      return reading;
    }
    std::string why;
    if (row->set && !row->set(value, &why)) {
      reading.error.value = value.text;
      reading.error.message = why;
      return refuse(OptionError::What::refused, shown, arg, row);
    }
  }
  return reading;
}

namespace {

// What a row's value must be, in the words of a message: "a whole number from 1 to 65535".
std::string expected_value(const OptionRow &row) {
  if (!row.expected.empty()) return row.expected;
  switch (row.kind) {
    case OptionKind::whole:
      return "a whole number from " + std::to_string(row.min) + " to " + std::to_string(row.max);
    case OptionKind::decimal: {
      char text[96];
      std::snprintf(text, sizeof text, "a number from %g to %g", row.decimal_min, row.decimal_max);
      return text;
    }
    case OptionKind::seconds:
      if (row.rounded) return "a number of seconds above 0, at most " + ms_as_seconds(row.max);
      return "a number of seconds from " + ms_as_seconds(row.min) + " to " + ms_as_seconds(row.max) +
             ", in whole milliseconds";
    case OptionKind::length:
      return "a length such as 10s, 1.5s or 2500ms, from " + std::to_string(row.min) + "ms to " +
             std::to_string(row.max) + "ms in whole milliseconds";
    case OptionKind::text:
      return "a value";
    case OptionKind::choice: {
      std::string words;
      for (size_t k = 0; k < row.choices.size(); ++k) {
        words += (k == 0 ? "" : ", ") + row.choices[k];
      }
      return "one of " + words;
    }
    case OptionKind::paragraph:
    case OptionKind::flag:
    case OptionKind::ending:
      break;
  }
  return "a value";
}

// A number as typed without its unit: digits with one point at most.
bool bare_number(const std::string &text) {
  return !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos &&
         text.find('.') == text.rfind('.');
}

}  // namespace

std::string option_error_text(const OptionError &error,
                              const std::function<std::string(const std::string &)> &quote) {
  switch (error.what) {
    case OptionError::What::unknown:
      return "unknown option " + quote(error.option);
    case OptionError::What::takes_no_value:
      return error.option + " takes no value";
    case OptionError::What::needs_value:
      return error.option + " needs a value";
    case OptionError::What::refused:
      return error.message;
    case OptionError::What::bad_value:
      break;
  }
  const OptionRow &row = *error.row;
  const std::string &v = error.value;
  // An empty text is no value at all.
  if (row.kind == OptionKind::text) return error.option + " needs " + expected_value(row);
  // A bare number to an option that wants its unit is the one mistake worth its own answer.
  if (row.kind == OptionKind::length && bare_number(v)) {
    std::string text = error.option + ": " + quote(v) + " has no unit: write " + v + "s for seconds or " + v +
                       "ms for milliseconds";
    if (!row.bare_alternative.empty()) text += " (or " + row.bare_alternative + " " + v + ")";
    return text;
  }
  return error.option + ": " + quote(v) + " is not " + expected_value(row);
}

std::string option_help(const std::vector<OptionRow> &rows, size_t column) {
  std::string out;
  for (const auto &row : rows) {
    if (row.kind == OptionKind::paragraph) {
      out += row.help;
      continue;
    }
    std::string names = "  ";
    if (row.letter != 0) names += std::string("-") + row.letter + ", ";
    names += "--" + row.name;
    if (!row.placeholder.empty()) names += " " + row.placeholder;
    // At least one space between the names and the help, or the help starts on a line of its own.
    names +=
        names.size() < column ? std::string(column - names.size(), ' ') : "\n" + std::string(column, ' ');
    out += names;
    for (const char c : row.help) {
      out += c;
      if (c == '\n') out += std::string(column, ' ');
    }
    out += '\n';
  }
  return out;
}
