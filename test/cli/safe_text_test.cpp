// Text from outside on its way to a terminal: what counts as UTF-8, and what is escaped.
#include <gtest/gtest.h>

#include <string>

#include "safe_text.h"

namespace {

TEST(SafeText, Utf8IsWellFormedOrNot) {
  const struct {
    std::string text;
    bool utf8;
  } cases[] = {
      {"", true},
      {"server.example", true},
      {"b\xc3\xbc"
       "cher.example",
       true},                          // ü
      {"\xe2\x82\xac", true},          // €
      {"\xf0\x9f\x98\x80", true},      // U+1F600
      {"\xff", false},                 // never in UTF-8
      {"\x80", false},                 // a continuation byte alone
      {"\xc3", false},                 // cut short
      {"\xc0\xaf", false},             // overlong '/'
      {"\xe0\x80\xaf", false},         // overlong again
      {"\xed\xa0\x80", false},         // a surrogate
      {"\xf4\x90\x80\x80", false},     // above U+10FFFF
      {std::string("a\0b", 3), true},  // NUL is UTF-8; the callers refuse it themselves
  };
  for (const auto &c : cases) EXPECT_EQ(is_utf8(c.text), c.utf8) << printable(c.text);
}

TEST(SafeText, WhatATerminalWouldActOnIsEscaped) {
  const struct {
    std::string text;
    const char *shown;
  } cases[] = {
      {"localhost", "localhost"},
      {"b\xc3\xbc"
       "cher",
       "b\xc3\xbc"
       "cher"},  // printable UTF-8 stays
      {"a\x1b[31mred", "a\\x1b[31mred"},
      {"two\nlines\r\tend", "two\\nlines\\r\\tend"},
      {"bell\x07 del\x7f", "bell\\x07 del\\x7f"},
      {"c1 \xc2\x9b", "c1 \\u009b"},        // U+009B, a CSI of its own to some terminals
      {"rtl \xe2\x80\xae", "rtl \\u202e"},  // right-to-left override
      {"isolate \xe2\x81\xa6", "isolate \\u2066"},
      {"bytes \xff\xfe", "bytes \\xff\\xfe"},
      {"back\\slash", "back\\\\slash"},  // so an escape in the text cannot pass for ours
      {std::string("nul\0", 4), "nul\\x00"},
  };
  for (const auto &c : cases) EXPECT_EQ(printable(c.text), c.shown);
  EXPECT_EQ(printable(std::string(1000, 'x'), 10), "xxxxxxxxxx... (1000 bytes)");
}

}  // namespace
