// Reading a small input file (the --servers list) without letting the file decide how long that takes or
// how much memory it costs: only a regular file is read, a FIFO or a device is refused at once (the open
// itself never waits for a writer), and no more than a bound is read. infile_posix.cpp and
// infile_win32.cpp are its two implementations.
#pragma once

#include <cstddef>
#include <string>

// Reads the whole of path into *text when it is a regular file of at most max_bytes. false with *error
// ("cannot read 'PATH': why", "'PATH' is not a regular file", "'PATH' is larger than N bytes") otherwise.
bool read_small_regular_file(const std::string &path, size_t max_bytes, std::string *text,
                             std::string *error);
