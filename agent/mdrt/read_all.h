// A small file read whole, for files that hold one value (a path, a key),
// and the way every file the agent reads on a caller's behalf is opened.
#ifndef MDRT_READ_ALL_H
#define MDRT_READ_ALL_H

#include <string>

// Opens `path` read-only when it is a regular file, without ever waiting on
// it: a FIFO with no writer, or a device, would hold the caller for good.
// The descriptor (close-on-exec), or -1 with errno set: EINVAL when the
// path names something other than a regular file.
int open_regular_file(const char* path);

// Reads the regular file at `path` into `out`. With `trim`, trailing blanks
// and line ends go (a value written by an editor ends with one). False with
// errno set when the file cannot be read (EINVAL: not a regular file);
// `out` is then empty.
bool read_all(const char* path, std::string& out, bool trim);

#endif
