// One open file over POSIX descriptors.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "agent/platform/file.h"

namespace platform {

namespace {

int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

void File::close() {
  if (handle_ == CLOSED) return;
  const int error = errno;
  ::close(fd_of(handle_));
  handle_ = CLOSED;
  errno = error;
}

bool File::open(const std::string& path, unsigned access, int mode) {
  close();
  int flags = O_CLOEXEC;
  const bool writes = access & (WRITE | APPEND);
  flags |= (access & READ) && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  if (access & APPEND) flags |= O_APPEND;
  if (access & CREATE) flags |= O_CREAT;
  int fd;
  do {
    fd = ::open(path.c_str(), flags, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  handle_ = fd;
  append_ = (access & APPEND) != 0;
  return true;
}

bool File::open_regular(const std::string& path) {
  close();
  // Looked at first, so that a device is never opened at all; the open
  // itself does not block either, for a FIFO put in the path meanwhile.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  handle_ = fd;
  append_ = false;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = S_ISREG(st.st_mode) ? errno : EINVAL;
    close();
    errno = error;
    return false;
  }
  // Plain blocking reads from here on.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return true;
}

long File::read(void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_of(handle_), buffer, size);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

long File::read_at(void* buffer, std::size_t size, std::uint64_t offset) {
  for (;;) {
    const ssize_t n = ::pread(fd_of(handle_), buffer, size, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

namespace {

// Writes all of `size` bytes through `step(at, left, done)` (one write
// call), going on after short writes and interruptions.
template <class Step>
bool write_all(const void* data, std::size_t size, Step step) {
  const char* at = static_cast<const char*>(data);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = step(at + done, size - done, done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool File::write(const void* data, std::size_t size) {
  return write_all(data, size, [this](const char* at, std::size_t left, std::size_t) {
    return ::write(fd_of(handle_), at, left);
  });
}

bool File::write_at(const void* data, std::size_t size, std::uint64_t offset) {
  return write_all(data, size, [&](const char* at, std::size_t left, std::size_t done) {
    return ::pwrite(fd_of(handle_), at, left, static_cast<off_t>(offset + done));
  });
}

bool File::rewind() { return ::lseek(fd_of(handle_), 0, SEEK_SET) == 0; }

bool File::size(std::uint64_t& bytes) const {
  struct stat st;
  if (::fstat(fd_of(handle_), &st) != 0) return false;
  bytes = static_cast<std::uint64_t>(st.st_size);
  return true;
}

bool File::truncate(std::uint64_t bytes) {
  for (;;) {
    if (::ftruncate(fd_of(handle_), static_cast<off_t>(bytes)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool File::sync_data() { return ::fdatasync(fd_of(handle_)) == 0; }

}  // namespace platform
