// A small file read whole, for files that hold one value (a path, a key).
#ifndef MDRT_READ_ALL_H
#define MDRT_READ_ALL_H

#include <string>

// Reads the file at `path` into `out`. With `trim`, trailing blanks and line
// ends go (a value written by an editor ends with one). False with errno
// set when the file cannot be read; `out` is then empty.
bool read_all(const char* path, std::string& out, bool trim);

#endif
