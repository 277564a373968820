#include "agent/mdrt/read_all.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

int open_regular_file(const char* path) {
  if (!path) {
    errno = EINVAL;
    return -1;
  }
  // Looked at first, so that a device is never opened at all; the open
  // itself does not block either, for a FIFO put in the path meanwhile.
  struct stat st;
  if (::stat(path, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int error = S_ISREG(st.st_mode) ? errno : EINVAL;
    ::close(fd);
    errno = error;
    return -1;
  }
  // Plain blocking reads from here on.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

bool read_all(const char* path, std::string& out, bool trim) {
  out.clear();
  const int fd = open_regular_file(path);
  if (fd < 0) return false;
  char buffer[8192];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      out.clear();
      errno = error;
      return false;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (trim) out.erase(out.find_last_not_of(" \t\r\n") + 1);
  return true;
}
