// Windows only: the system's own text for an error code, as the messages of common/ quote it.
#pragma once

#include <windows.h>

#include <string>

// FormatMessage's text without its trailing newline and full stop; "error N" when the system has none.
inline std::string system_text(DWORD code) {
  char buf[256] = "";
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                 buf, sizeof buf, nullptr);
  std::string text(buf, n);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : text;
}
