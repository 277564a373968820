// One open file, for callers that keep a file open and read or write it in
// pieces (spools, uploads). Whole files go through files.h.
#ifndef PLATFORM_FILE_H
#define PLATFORM_FILE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Closed by the destructor; never inherited by a child process. On Windows
// others may read, write, rename or delete the file while it is open, as on
// POSIX. Every call that fails sets errno.
class File {
 public:
  enum Access : unsigned { READ = 1, WRITE = 2, APPEND = 4, CREATE = 8 };

  File() = default;
  ~File() { close(); }
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens `path` with `access` (APPEND implies WRITE; CREATE makes a missing
  // file with `mode`, which Windows does not use). A file already open is
  // closed first.
  bool open(const std::string& path, unsigned access, int mode = 0640);
  // Opens `path` read-only when it is a regular file, without ever waiting
  // on it: a FIFO with no writer, or a device, would hold the caller for
  // good. EINVAL when the path names anything else, which is never read.
  bool open_regular(const std::string& path);
  bool is_open() const { return handle_ != CLOSED; }
  void close();

  // Reads at the current position: the count read, 0 at the end, -1 on an
  // error.
  long read(void* buffer, std::size_t size);
  // Reads at `offset`, whatever the current position (which Windows moves
  // past what was read).
  long read_at(void* buffer, std::size_t size, std::uint64_t offset);
  // Writes all of `data`, at the end when opened with APPEND, else at the
  // current position.
  bool write(const void* data, std::size_t size);
  // Writes all of `data` at `offset` (not for a file opened with APPEND;
  // Windows moves the current position past it).
  bool write_at(const void* data, std::size_t size, std::uint64_t offset);
  // Back to the start, for read and write.
  bool rewind();
  bool size(std::uint64_t& bytes) const;
  // Cuts (or extends with zeros) the file to `bytes`.
  bool truncate(std::uint64_t bytes);
  // Waits until what was written, and the size, are on disk.
  bool sync_data();

 private:
  static const std::intptr_t CLOSED = -1;
  // A descriptor on POSIX, a HANDLE on Windows.
  std::intptr_t handle_ = CLOSED;
  // Opened with APPEND: Windows writes at the end on each call.
  bool append_ = false;
};

}  // namespace platform

#endif
