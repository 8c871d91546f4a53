// The one rule for numbers on the command lines of kestrum-server and kestrum: plain decimal digits, a
// fraction only where seconds are asked for. No sign, no space, no "0x", no exponent, nothing after.
#pragma once

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

// A whole decimal number within [min, max].
inline bool parse_decimal_whole(const std::string &text, long long min, long long max, long long *out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  long long value = 0;
  const char *end = text.data() + text.size();
  const auto [rest, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || rest != end || value < min || value > max) return false;
  *out = value;
  return true;
}

// Seconds as a plain decimal (12, 0.5) within [0, max].
inline bool parse_decimal_seconds(const std::string &text, double max, double *out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  double value = 0;
  const char *end = text.data() + text.size();
  const auto [rest, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
  if (ec != std::errc() || rest != end || !std::isfinite(value) || value > max) return false;
  *out = value;
  return true;
}
