#include "safe_text.h"

#include <cstdio>

namespace {

// The code point of the UTF-8 sequence at text[i] and its length in *len; -1 when the bytes there are not
// a well-formed sequence (then *len is 1, so that a caller steps over one byte).
long decode(const std::string &text, size_t i, size_t *len) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  *len = 1;
  if (lead < 0x80) return lead;
  size_t n = 0;
  long cp = 0;
  long min = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    n = 2, cp = lead & 0x1f, min = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    n = 3, cp = lead & 0x0f, min = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    n = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return -1;  // a continuation byte, 0xc0, 0xc1 (always overlong) or 0xf5 and above
  }
  if (i + n > text.size()) return -1;
  for (size_t k = 1; k < n; ++k) {
    const unsigned char c = static_cast<unsigned char>(text[i + k]);
    if ((c & 0xc0) != 0x80) return -1;
    cp = (cp << 6) | (c & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return -1;
  *len = n;
  return cp;
}

// Code points a terminal acts on or that reorder what is shown around them.
bool needs_escape(long cp) {
  return cp < 0x20 || cp == 0x7f || (cp >= 0x80 && cp <= 0x9f) || (cp >= 0x202a && cp <= 0x202e) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

}  // namespace

bool is_utf8(const std::string &text) {
  for (size_t i = 0; i < text.size();) {
    size_t len = 0;
    if (decode(text, i, &len) < 0) return false;
    i += len;
  }
  return true;
}

std::string printable(const std::string &text, size_t max_bytes) {
  std::string out;
  size_t i = 0;
  while (i < text.size() && out.size() < max_bytes) {
    size_t len = 0;
    const long cp = decode(text, i, &len);
    char escape[16];
    if (cp < 0) {
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[i]));
      out += escape;
    } else if (cp == '\\') {
      out += "\\\\";
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (needs_escape(cp)) {
      std::snprintf(escape, sizeof escape, cp < 0x80 ? "\\x%02lx" : "\\u%04lx", cp);
      out += escape;
    } else {
      out.append(text, i, len);
    }
    i += len;
  }
  if (i < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}
