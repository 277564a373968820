// Whole files: read, written in place of the old one, appended to by line;
// folders made with their parents, and the run bit. Every file the agent
// reads whole, and every file it reads on a caller's behalf, goes through
// here, so none can hold a thread on a FIFO or a device.
#ifndef PLATFORM_FILES_H
#define PLATFORM_FILES_H

#include <string>

namespace platform {

// Reads the regular file at `path` into `out`. With `trim_end`, trailing
// blanks and line ends go (a value written by an editor ends with one).
// False with errno set when the file cannot be read (EINVAL: not a regular
// file, which is never opened); `out` is then empty.
bool read_file(const std::string& path, std::string& out, bool trim_end = false);

// Writes `content` under a temporary name beside `path` with `mode`, flushes
// it to disk and renames it over `path`: a reader never sees half a file,
// and a crash leaves the old one. False (errno) when that fails.
bool replace_file(const std::string& path, const std::string& content,
                  int mode);
// Appends `line` to `path` (made with `mode` when missing) in one write, so
// lines of concurrent writers never interleave. False (errno) on failure.
bool append_line(const std::string& path, const std::string& line, int mode);

// The permission bits (07777) of what `path` names; false (errno) when it
// cannot be examined (ENOENT when there is nothing). Windows keeps access in
// ACLs, not bits, and the agent's folder inherits its owner's: a file there
// reads as 0600.
bool file_permissions(const std::string& path, int& mode);

// Removes the file at `path`; false (errno) when it cannot (ENOENT when
// there is none).
bool remove_file(const std::string& path);

// Makes `path` and its missing parents with `mode`; false (errno) when one
// cannot be made.
bool make_folders(const std::string& path, int mode);
// Lets the owner run the file at `path` (a no-op where files are run by
// their name); false (errno) when its mode cannot be changed.
bool make_executable(const std::string& path);

}  // namespace platform

#endif
