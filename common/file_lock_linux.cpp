// Linux: flock on the lock file. Its locks belong to the open file description, so two opens conflict even
// within one process, and the kernel drops the lock when the last descriptor closes, on any exit.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "file_lock.h"

namespace {

constexpr int kRetryMs = 5;  // the holder keeps the lock for a read and two small writes

bool fail(std::string *error, const std::string &path, const std::string &why) {
  *error = "cannot lock " + path + ": " + why;
  return false;
}

}  // namespace

bool file_lock(const std::string &path, int wait_ms, FileLock *lock, std::string *error) {
  const std::string name = path + ".lock";
  const int fd = open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return fail(error, path, name + ": " + std::strerror(errno));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      lock->handle = fd;
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      const std::string why = std::strerror(errno);
      close(fd);
      return fail(error, path, why);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      close(fd);
      return fail(error, path, "another process has held it for " + std::to_string(wait_ms) + " ms");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kRetryMs));
  }
}

void file_unlock(FileLock *lock) {
  if (lock->handle < 0) return;
  const int fd = static_cast<int>(lock->handle);
  flock(fd, LOCK_UN);
  close(fd);
  lock->handle = -1;
}
