// Whole-file writes for the files the programs leave for others to read (the metrics that node_exporter
// serves, the command's state between runs), and the careful read back: a reader sees the old file or the
// new one, never a part, and the new one is on disk before it takes the old one's name.
//
// The new text goes to a temporary in the same folder, named ".NAME.<random>.tmp" and created exclusively,
// so a file or link planted under a name we would use is never written through: the create fails and
// another name is drawn. The temporary is flushed (fsync), renamed over NAME (which replaces a link at NAME
// itself, never its target), and the folder is flushed so the rename survives a crash. The leading dot
// keeps a half-written temporary out of node_exporter's "*.prom".
#pragma once

#include <cstddef>
#include <string>

// Who may read the file: everyone (the metrics, read by node_exporter's user) or its owner alone.
enum class FileAccess { world_readable, owner_only };

// Replaces path with text as described above. false with *error ("cannot write PATH: why") when it
// cannot; path is then left as it was and no temporary remains.
bool file_replace(const std::string &path, const std::string &text, FileAccess access, std::string *error);

// Whether file_replace(path, ...) can succeed, checked before any work is done: path names a file (not a
// folder, not "/"), its folder exists and this process may create files in it. false with *error as above.
bool file_replace_check(const std::string &path, std::string *error);

// What file_read found at a path.
enum class FileRead {
  ok,       // *text holds the whole file
  missing,  // nothing there
  refused,  // something that is not ours to read: a link, a folder, a device or pipe, or too large
  failed,   // a regular file that could not be read (permissions, I/O)
};

// Reads back a file that file_replace wrote: a regular file of at most max_bytes, opened without following
// a link at path itself (links among the folders above it are followed) and without waiting on a pipe or
// device planted there. For anything but ok, *error says what was found ("PATH: why").
FileRead file_read(const std::string &path, size_t max_bytes, std::string *text, std::string *error);

// Renames from to to, replacing what is at to (a link at either name is moved or replaced, never followed):
// how a file that cannot be used is set aside. false with *error set when it cannot.
bool file_move(const std::string &from, const std::string &to, std::string *error);
