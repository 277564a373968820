#include "agent/platform/directory_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "agent/platform/platform.h"
#include "agent/platform/posix_platform.h"

namespace {

DIR* D(void* p) { return static_cast<DIR*>(p); }

mode_t mode_of_dirent_type(unsigned char type) {
  switch (type) {
    case DT_REG: return S_IFREG;
    case DT_DIR: return S_IFDIR;
    case DT_LNK: return S_IFLNK;
    case DT_FIFO: return S_IFIFO;
    case DT_SOCK: return S_IFSOCK;
    case DT_CHR: return S_IFCHR;
    case DT_BLK: return S_IFBLK;
  }
  return 0;
}

std::string read_link_at(int dir_fd, const char* name, std::size_t hint) {
  std::vector<char> buf(hint > 0 && hint < 65536 ? hint + 1 : 256);
  for (;;) {
    ssize_t n = ::readlinkat(dir_fd, name, buf.data(), buf.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buf.size())
      return std::string(buf.data(), static_cast<std::size_t>(n));
    if (buf.size() >= 65536) return std::string(buf.data(), buf.size());
    buf.resize(buf.size() * 4);
  }
}

// Opening a directory on a dead network mount blocks for good; give up
// after the volume wait instead of holding the requester's thread. A late
// opendir closes what it opened itself.
DIR* open_bounded(const std::string& path) {
  struct Attempt {
    std::mutex lock;
    DIR* dir = nullptr;
    int error = 0;
    bool abandoned = false;
  };
  auto attempt = std::make_shared<Attempt>();
  std::string key = platform::mount_point_of(path);
  bool finished = platform::run_bounded_task(
      key.empty() ? path : key, platform::volume_wait_limit,
      [attempt, path]() {
        DIR* d = ::opendir(path.c_str());
        int error = errno;
        std::lock_guard<std::mutex> guard(attempt->lock);
        if (attempt->abandoned) {
          if (d) ::closedir(d);
          return;
        }
        attempt->dir = d;
        attempt->error = error;
      });
  int timeout_error = errno;
  std::lock_guard<std::mutex> guard(attempt->lock);
  if (!finished) {
    attempt->abandoned = true;
    if (attempt->dir) ::closedir(attempt->dir);
    errno = timeout_error;
    return nullptr;
  }
  errno = attempt->error;
  return attempt->dir;
}

}  // namespace

Directory_Reader::Directory_Reader()
    : dir_(nullptr), skip_dots_(false), flags_(0), error_(0) {}

Directory_Reader::~Directory_Reader() { close(); }

bool Directory_Reader::open(const char* path, bool skip_dots, unsigned flags) {
  close();
  error_ = 0;
  if (!path || !*path) {
    errno = error_ = ENOENT;
    return false;
  }
  std::string resolved = platform::resolve_path(path);
  if (resolved.empty()) {
    errno = error_ = ENOENT;
    return false;
  }
  dir_ = open_bounded(resolved);
  if (!dir_) {
    error_ = errno;
    return false;
  }
  skip_dots_ = skip_dots;
  flags_ = flags;
  return true;
}

bool Directory_Reader::read(Directory_Entry_T<char>& entry) {
  if (!dir_) {
    errno = error_ = EBADF;
    return false;
  }
  for (;;) {
    errno = 0;
    struct dirent* d = ::readdir(D(dir_));
    if (!d) {
      error_ = errno;
      return false;
    }
    const char* n = d->d_name;
    if (skip_dots_ && n[0] == '.' && (!n[1] || (n[1] == '.' && !n[2])))
      continue;

    entry.name.assign(n);
    entry.mode = mode_of_dirent_type(d->d_type);
    entry.has_stat = false;
    entry.size = 0;
    entry.mtime = 0;
    entry.target.clear();
    if (flags_ & WITH_STAT) {
      int fd = ::dirfd(D(dir_));
      struct stat st;
      if (::fstatat(fd, n, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        entry.mode = st.st_mode;
        entry.has_stat = true;
        entry.size = static_cast<std::uint64_t>(st.st_size);
        entry.mtime = static_cast<std::int64_t>(st.st_mtime);
        if (S_ISLNK(st.st_mode))
          entry.target = read_link_at(fd, n, static_cast<std::size_t>(st.st_size));
      }
      // An entry removed since readdir is still listed, without details.
    }
    error_ = 0;
    return true;
  }
}

void Directory_Reader::close() {
  if (dir_) ::closedir(D(dir_));
  dir_ = nullptr;
}
