// Whole files over POSIX calls.
#include "agent/platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "agent/platform/file.h"

namespace platform {

namespace {

bool write_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Closes `fd`; false (errno) when the close reports a late write error.
bool close_checked(int fd, bool ok) {
  const int error = errno;
  if (::close(fd) != 0 && ok) return false;
  errno = error;
  return ok;
}

}  // namespace

bool replace_file(const std::string& path, const std::string& content,
                  int mode) {
  const std::string temp = path + ".tmp";
  ::unlink(temp.c_str());
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return false;
  // The mode as asked, whatever the umask: keys are private.
  const bool written = ::fchmod(fd, static_cast<mode_t>(mode)) == 0 &&
                       write_all(fd, content) && ::fsync(fd) == 0;
  if (close_checked(fd, written) && ::rename(temp.c_str(), path.c_str()) == 0) {
    // The rename itself reaches the disk with its folder.
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
    return true;
  }
  const int error = errno;
  ::unlink(temp.c_str());
  errno = error;
  return false;
}

bool append_line(const std::string& path, const std::string& line, int mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, mode);
  if (fd < 0) return false;
  // One write() per line: with O_APPEND each line lands whole at the end,
  // whatever other threads and processes do. Only a short write (a full
  // disk) needs another call, to finish the line.
  return close_checked(fd, write_all(fd, line));
}

bool make_folders(const std::string& path, int mode) {
  for (std::string::size_type end = path.find_first_of("/\\", 1);;
       end = path.find_first_of("/\\", end + 1)) {
    const std::string part = path.substr(0, end);
    if (!part.empty() && ::mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 &&
        errno != EEXIST)
      return false;
    if (end == std::string::npos) break;
  }
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool file_permissions(const std::string& path, int& mode) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  mode = static_cast<int>(st.st_mode & 07777);
  return true;
}

bool remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool make_executable(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 &&
         ::chmod(path.c_str(), (st.st_mode & 07777) | S_IXUSR) == 0;
}

}  // namespace platform
