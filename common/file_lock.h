// A lock between processes around a read-modify-write of a file that file_replace rewrites (the command's
// state between runs): two runs at once take turns, so neither loses the other's update.
//
// The lock is taken on a file of its own beside the guarded one, "PATH.lock", never on PATH itself:
// file_replace puts a new file in PATH's place, and a lock on the old one would guard nothing. The lock
// file is created when missing and left in place afterwards; removing it would let a third process lock a
// fresh file while the second still holds the old one. It is opened without following a link at its name.
// The lock ends with the process at the latest, so a run that dies never blocks the next one.
#pragma once

#include <cstdint>
#include <string>

// A held lock: the platform's handle of the open lock file.
struct FileLock {
  std::intptr_t handle = -1;
};

// Takes the exclusive lock that guards path, waiting at most wait_ms while another process holds it.
// false with *error ("cannot lock PATH: why") when the lock file cannot be opened or the wait ran out.
bool file_lock(const std::string &path, int wait_ms, FileLock *lock, std::string *error);

// Gives the lock back and closes its file. Safe on a lock that is not held.
void file_unlock(FileLock *lock);
