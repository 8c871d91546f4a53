// Text that comes from outside (the command line, a --servers file, the resolver) on its way to a terminal
// or into JSON: checked for being UTF-8 at all, and made harmless to print.
#pragma once

#include <string>

// True when text is well-formed UTF-8: no stray continuation bytes, no overlong forms, no surrogates,
// nothing above U+10FFFF. JSON can carry only such text.
bool is_utf8(const std::string &text);

// text as it can be shown on a terminal without the terminal acting on it: C0 and C1 control characters,
// DEL, the bidirectional overrides and isolates, bytes that are not UTF-8 and the backslash are written as
// escapes (\n, \t, \x1b, \u202e, \\); everything else stays as it is. Longer results are cut after
// max_bytes with "..." and the original length, so a huge argument is never echoed whole.
std::string printable(const std::string &text, size_t max_bytes = 160);
