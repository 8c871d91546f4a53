#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "file_replace.h"

namespace {

constexpr int kNameAttempts = 16;  // a clash of 64 random bits means someone plants names: give up

struct Where {
  std::string dir;   // the folder, "." for a bare name
  std::string base;  // the file's name in it
};

bool fail(std::string *error, const std::string &path, const std::string &why) {
  *error = "cannot write " + path + ": " + why;
  return false;
}

bool split(const std::string &path, Where *w, std::string *error) {
  const size_t slash = path.find_last_of('/');
  w->dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  w->base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (w->base.empty() || w->base == "." || w->base == "..") {
    return fail(error, path, "it names a folder, not a file");
  }
  return true;
}

// The folder, opened for the *at calls, so that every step works in the one folder checked.
int open_dir(const std::string &path, const Where &w, std::string *error) {
  const int fd = open(w.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fail(error, path, "folder " + w.dir + ": " + std::strerror(errno));
  return fd;
}

// The name in the folder must not be a folder of its own (the rename would fail only after the work).
bool not_a_folder(int dir, const std::string &path, const Where &w, std::string *error) {
  struct stat st {};
  if (fstatat(dir, w.base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
    return fail(error, path, "it is a folder");
  }
  return true;
}

std::string random_hex() {
  unsigned char bytes[8] = {};
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;  // no entropy source at all: the exclusive create still keeps us safe, only clashes grow
    }
  }
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool write_all(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool file_replace(const std::string &path, const std::string &text, FileAccess access, std::string *error) {
  Where w;
  if (!split(path, &w, error)) return false;
  const int dir = open_dir(path, w, error);
  if (dir < 0) return false;
  if (!not_a_folder(dir, path, w, error)) {
    close(dir);
    return false;
  }

  const mode_t mode = access == FileAccess::world_readable ? 0644 : 0600;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
    temp = "." + w.base + "." + random_hex() + ".tmp";
    // O_EXCL with O_CREAT fails on any existing name, a link included, and never follows one.
    fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    const std::string why = errno == EEXIST ? "no free temporary name" : std::strerror(errno);
    close(dir);
    return fail(error, path, why);
  }
  // The umask must not decide whether node_exporter can read the figures.
  const bool ok = fchmod(fd, mode) == 0 && write_all(fd, text) && fsync(fd) == 0;
  const int saved = errno;
  const bool closed = close(fd) == 0;
  if (!ok || !closed) {
    unlinkat(dir, temp.c_str(), 0);
    close(dir);
    return fail(error, path, std::strerror(ok ? errno : saved));
  }
  if (renameat(dir, temp.c_str(), dir, w.base.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    unlinkat(dir, temp.c_str(), 0);
    close(dir);
    return fail(error, path, why);
  }
  // The rename is an entry of the folder: flushed with it. A failure here leaves the new file in place.
  fsync(dir);
  close(dir);
  return true;
}

bool file_replace_check(const std::string &path, std::string *error) {
  Where w;
  if (!split(path, &w, error)) return false;
  const int dir = open_dir(path, w, error);
  if (dir < 0) return false;
  bool ok = not_a_folder(dir, path, w, error);
  if (ok && faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    // AT_EACCESS: the effective user and capabilities, as the create itself will see them.
    ok = fail(error, path, "folder " + w.dir + ": " + std::strerror(errno));
  }
  close(dir);
  return ok;
}

FileRead file_read(const std::string &path, size_t max_bytes, std::string *text, std::string *error) {
  // O_NONBLOCK: a pipe planted at the name must not hold the run; it is refused below by its type.
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    *error = path + ": " + (e == ELOOP ? "it is a link" : std::strerror(e));
    return e == ENOENT ? FileRead::missing : e == ELOOP ? FileRead::refused : FileRead::failed;
  }
  struct stat st {};
  FileRead result = FileRead::ok;
  if (fstat(fd, &st) != 0) {
    *error = path + ": " + std::strerror(errno);
    result = FileRead::failed;
  } else if (!S_ISREG(st.st_mode)) {
    *error = path + ": " + (S_ISDIR(st.st_mode) ? "it is a folder" : "it is not a regular file");
    result = FileRead::refused;
  }
  std::string got;
  while (result == FileRead::ok) {
    char buf[16384];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = path + ": " + std::strerror(errno);
      result = FileRead::failed;
    } else if (n == 0) {
      break;
    } else if (got.size() + static_cast<size_t>(n) > max_bytes) {
      // Counted as read, not as the size stat gives: a file may grow while we read it.
      *error = path + ": larger than " + std::to_string(max_bytes) + " bytes";
      result = FileRead::refused;
    } else {
      got.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  if (result == FileRead::ok) *text = std::move(got);
  return result;
}

bool file_move(const std::string &from, const std::string &to, std::string *error) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  *error = "cannot move " + from + " to " + to + ": " + std::strerror(errno);
  return false;
}
