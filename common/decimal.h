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

// A plain decimal ("10", "2.5", "0.250") scaled by 10^shift into a whole number within [min, max]: seconds
// to milliseconds with shift 3, milliseconds as they are with 0. false when it is not such a decimal, or
// when digits would be lost (1.0005 s is no whole number of milliseconds). Exact: no floating point.
inline bool parse_decimal_scaled(const std::string &text, int shift, long long min, long long max,
                                 long long *out) {
  const size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  const std::string fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  // Ten digits before the point and a shift of up to 8 stay far below what a long long holds.
  if (shift < 0 || shift > 8) return false;
  if (whole.empty() || whole.size() > 10 || (dot != std::string::npos && fraction.empty())) return false;
  for (const char c : whole + fraction) {
    if (c < '0' || c > '9') return false;
  }
  long long value = 0;
  for (const char c : whole) value = value * 10 + (c - '0');
  for (size_t k = 0; k < static_cast<size_t>(shift); ++k) {
    value = value * 10 + (k < fraction.size() ? fraction[k] - '0' : 0);
  }
  for (size_t k = static_cast<size_t>(shift); k < fraction.size(); ++k) {
    if (fraction[k] != '0') return false;
  }
  if (value < min || value > max) return false;
  *out = value;
  return true;
}
