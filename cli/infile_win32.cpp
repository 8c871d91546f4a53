// Windows: CreateFile does not wait on a named pipe (it connects or fails), and GetFileType tells a disk
// file from a pipe or a character device (NUL, CON), which are refused, as is a folder; the read is
// bounded by the limit.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "infile.h"
#include "safe_text.h"

bool read_small_regular_file(const std::string &path, size_t max_bytes, std::string *text,
                             std::string *error) {
  const std::string shown = "'" + printable(path) + "'";
  // A folder cannot be opened as a file at all (access denied): tell it apart first.
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = shown + " is not a regular file";
    return false;
  }
  const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *error = "cannot read " + shown + ": " +
             (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                  ? std::string("No such file or directory")
                  : "error " + std::to_string(code));
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    CloseHandle(h);
    *error = shown + " is not a regular file";
    return false;
  }
  std::string data;
  char buf[8192];
  bool ok = true;
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
      *error = "cannot read " + shown + ": error " + std::to_string(GetLastError());
      ok = false;
      break;
    }
    if (n == 0) break;
    data.append(buf, n);
    if (data.size() > max_bytes) {
      *error = shown + " is larger than " + std::to_string(max_bytes) + " bytes";
      ok = false;
      break;
    }
  }
  CloseHandle(h);
  if (ok) *text = std::move(data);
  return ok;
}
