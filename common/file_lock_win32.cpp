// Windows: LockFileEx on the lock file, exclusive and failing at once so that the wait stays ours to bound.
// Its locks belong to the handle, so two opens conflict even within one process; the system releases them
// when the handle closes, on any exit.
#include <windows.h>

#include <chrono>

#include "file_lock.h"
#include "system_text_win32.h"

namespace {

constexpr int kRetryMs = 5;

bool fail(std::string *error, const std::string &path, const std::string &why) {
  *error = "cannot lock " + path + ": " + why;
  return false;
}

}  // namespace

bool file_lock(const std::string &path, int wait_ms, FileLock *lock, std::string *error) {
  const std::string name = path + ".lock";
  // FILE_FLAG_OPEN_REPARSE_POINT: a link planted at the name is opened itself, never its target.
  const HANDLE h =
      CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail(error, path, name + ": " + system_text(GetLastError()));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    OVERLAPPED at{};
    if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0) {
      lock->handle = reinterpret_cast<std::intptr_t>(h);
      return true;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_LOCK_VIOLATION && code != ERROR_IO_PENDING) {
      CloseHandle(h);
      return fail(error, path, system_text(code));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      CloseHandle(h);
      return fail(error, path, "another process has held it for " + std::to_string(wait_ms) + " ms");
    }
    Sleep(kRetryMs);
  }
}

void file_unlock(FileLock *lock) {
  if (lock->handle == -1) return;
  const HANDLE h = reinterpret_cast<HANDLE>(lock->handle);
  OVERLAPPED at{};
  UnlockFileEx(h, 0, 1, 0, &at);
  CloseHandle(h);
  lock->handle = -1;
}
