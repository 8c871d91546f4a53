// POSIX: opened with O_NONBLOCK, so that opening a FIFO returns at once instead of waiting for a writer,
// and refused by fstat unless it is a regular file; the read is bounded by the limit, whatever st_size
// says (files under /proc report 0).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "infile.h"
#include "safe_text.h"

bool read_small_regular_file(const std::string &path, size_t max_bytes, std::string *text,
                             std::string *error) {
  const std::string shown = "'" + printable(path) + "'";
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot read " + shown + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    *error = shown + " is not a regular file";
    return false;
  }
  std::string data;
  char buf[8192];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + shown + ": " + std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
    if (data.size() > max_bytes) {
      *error = shown + " is larger than " + std::to_string(max_bytes) + " bytes";
      ok = false;
      break;
    }
  }
  ::close(fd);
  if (ok) *text = std::move(data);
  return ok;
}
