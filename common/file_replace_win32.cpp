// Windows: CreateFile with CREATE_NEW is the exclusive create (it fails on any existing name, a reparse
// point included), FlushFileBuffers the fsync, and MoveFileEx with MOVEFILE_WRITE_THROUGH the rename that
// returns only once it is on disk. A file's access there follows its folder's, so FileAccess changes
// nothing.
#define _CRT_RAND_S
#include <stdlib.h>
#include <windows.h>

#include <algorithm>

#include "file_replace.h"
#include "system_text_win32.h"

namespace {

constexpr int kNameAttempts = 16;

struct Where {
  std::string dir;  // with its trailing separator, empty for a bare name
  std::string base;
};

bool fail(std::string *error, const std::string &path, const std::string &why) {
  *error = "cannot write " + path + ": " + why;
  return false;
}

bool split(const std::string &path, Where *w, std::string *error) {
  const size_t slash = path.find_last_of("/\\");
  w->dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  w->base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (w->base.empty() || w->base == "." || w->base == "..") {
    return fail(error, path, "it names a folder, not a file");
  }
  return true;
}

std::string random_hex() {
  std::string out;
  for (int i = 0; i < 2; ++i) {
    unsigned int r = 0;
    if (rand_s(&r) != 0) r = GetTickCount() ^ (GetCurrentProcessId() << 16);
    static const char digits[] = "0123456789abcdef";
    for (int k = 0; k < 8; ++k) out += digits[(r >> (4 * k)) & 15];
  }
  return out;
}

// A fresh temporary beside the target, or INVALID_HANDLE_VALUE with *code set.
HANDLE create_temporary(const Where &w, std::string *temp, DWORD *code) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    *temp = w.dir + "." + w.base + "." + random_hex() + ".tmp";
    const HANDLE h = CreateFileA(temp->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    *code = GetLastError();
    if (*code != ERROR_FILE_EXISTS && *code != ERROR_ALREADY_EXISTS) return h;
  }
  return INVALID_HANDLE_VALUE;
}

// The folder exists and the name in it is not a folder of its own.
bool folder_of(const std::string &path, const Where &w, std::string *error) {
  const std::string dir = w.dir.empty() ? "." : w.dir;
  const DWORD attributes = GetFileAttributesA(dir.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return fail(error, path, "folder " + dir + ": " + system_text(GetLastError()));
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return fail(error, path, dir + " is not a folder");
  const DWORD target = GetFileAttributesA(path.c_str());
  if (target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return fail(error, path, "it is a folder");
  }
  return true;
}

}  // namespace

bool file_replace(const std::string &path, const std::string &text, FileAccess, std::string *error) {
  Where w;
  if (!split(path, &w, error) || !folder_of(path, w, error)) return false;
  std::string temp;
  DWORD code = 0;
  const HANDLE h = create_temporary(w, &temp, &code);
  if (h == INVALID_HANDLE_VALUE) return fail(error, path, system_text(code));
  size_t done = 0;
  bool ok = true;
  while (ok && done < text.size()) {
    DWORD wrote = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
    ok = WriteFile(h, text.data() + done, chunk, &wrote, nullptr) != 0 && wrote > 0;
    done += wrote;
  }
  ok = ok && FlushFileBuffers(h) != 0;
  code = GetLastError();
  CloseHandle(h);
  if (!ok) {
    DeleteFileA(temp.c_str());
    return fail(error, path, system_text(code));
  }
  if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
    code = GetLastError();
    DeleteFileA(temp.c_str());
    return fail(error, path, system_text(code));
  }
  return true;
}

bool file_replace_check(const std::string &path, std::string *error) {
  Where w;
  if (!split(path, &w, error) || !folder_of(path, w, error)) return false;
  // Windows has no cheap "may I create here": create a temporary and remove it again.
  std::string temp;
  DWORD code = 0;
  const HANDLE h = create_temporary(w, &temp, &code);
  if (h == INVALID_HANDLE_VALUE) return fail(error, path, system_text(code));
  CloseHandle(h);
  DeleteFileA(temp.c_str());
  return true;
}

FileRead file_read(const std::string &path, size_t max_bytes, std::string *text, std::string *error) {
  // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself, which its attributes then give away;
  // FILE_FLAG_BACKUP_SEMANTICS lets a folder open too, so that it is named for what it is.
  const HANDLE h =
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    *error = path + ": " + system_text(code);
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? FileRead::missing
                                                                        : FileRead::failed;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  FileRead result = FileRead::ok;
  if (GetFileInformationByHandle(h, &info) == 0) {
    *error = path + ": " + system_text(GetLastError());
    result = FileRead::failed;
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    *error = path + ": it is a link";
    result = FileRead::refused;
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = path + ": it is a folder";
    result = FileRead::refused;
  } else if (GetFileType(h) != FILE_TYPE_DISK) {
    *error = path + ": it is not a regular file";
    result = FileRead::refused;
  }
  std::string got;
  while (result == FileRead::ok) {
    char buf[16384];
    DWORD n = 0;
    if (ReadFile(h, buf, sizeof buf, &n, nullptr) == 0) {
      *error = path + ": " + system_text(GetLastError());
      result = FileRead::failed;
    } else if (n == 0) {
      break;
    } else if (got.size() + n > max_bytes) {
      *error = path + ": larger than " + std::to_string(max_bytes) + " bytes";
      result = FileRead::refused;
    } else {
      got.append(buf, n);
    }
  }
  CloseHandle(h);
  if (result == FileRead::ok) *text = std::move(got);
  return result;
}

bool file_move(const std::string &from, const std::string &to, std::string *error) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
    return true;
  *error = "cannot move " + from + " to " + to + ": " + system_text(GetLastError());
  return false;
}
