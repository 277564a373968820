#include "agent/platform/directory_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "agent/platform/helper_threads.h"
#include "agent/platform/platform.h"
#include "agent/platform/posix_platform.h"

namespace {

DIR* D(void* p) { return static_cast<DIR*>(p); }

// Entries read on the caller's thread before a helper takes over: most
// directories end before that and never cost a thread.
const unsigned long READ_HERE_FIRST = 128;
// Entries per hand-over, and hand-overs in flight.
const std::size_t BATCH_SIZE = 256;
const std::size_t BATCHES = 4;
// A helper that finds every batch full leaves after this: a caller that
// is merely slower hands one back well within it.
const std::chrono::milliseconds HELPER_LINGER(20);

std::atomic<bool> types_unknown{false};

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

// Batches go round: a helper fills an empty one, hands it over full, and
// the caller gives it back once read. Entries are swapped out, so their
// strings keep their buffers from round to round. With stat information
// two helpers work at once: while one reads names from the directory, the
// other stats the batch it read before, so the file system's lookups (the
// bulk of a large listing) use two cores. Batches are numbered as their
// names are read and the caller takes them in that order.
struct Directory_Reader::Read_Ahead {
  struct Batch {
    std::vector<Directory_Entry_T<char>> entries;
    std::size_t count = 0;
    unsigned long number = 0;
  };

  std::mutex lock;
  std::condition_variable filled;    // a batch is full, or the walk ended
  std::condition_variable emptied;   // a batch came back, or stop
  std::condition_variable finished;  // no helper touches the reader
  // Both hold at most BATCHES and are reserved for that many, so handing
  // over never allocates.
  std::vector<Batch> full;  // the caller takes them by number
  std::vector<Batch> empty;
  // Set with the last batch handed over: numbers after `last` never come.
  bool ended = false;
  unsigned long last = 0;
  int error = 0;
  std::atomic<bool> stop{false};
  // Helpers at work; while there is one, only helpers touch the reader.
  unsigned running = 0;
  Batch current;  // the caller's, read up to `next`
  std::size_t next = 0;
  unsigned long wanted = 0;  // the number the caller takes next

  // Held by the helper reading names; the directory stream is its alone.
  std::mutex stream;
  unsigned long numbered = 0;  // batches given a number so far
  bool names_ended = false;
};

Directory_Reader::Directory_Reader()
    : dir_(nullptr), skip_dots_(false), flags_(0), error_(0),
      read_here_count_(0) {}

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
  position_ = ::telldir(D(dir_));
  has_deadline_ = false;
  return true;
}

bool Directory_Reader::identity(Identity& id) const {
  struct stat st;
  if (!dir_) {
    errno = EBADF;
    return false;
  }
  if (::fstat(::dirfd(D(dir_)), &st) != 0) return false;
  id.device = static_cast<std::uint64_t>(st.st_dev);
  id.inode = static_cast<std::uint64_t>(st.st_ino);
  id.modified_ns = std::int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  id.changed_ns = std::int64_t(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return true;
}

bool Directory_Reader::resume(std::int64_t position,
                              const std::function<bool(const std::string&)>& is_entry,
                              unsigned max_skip) {
  if (!dir_ || ahead_) {
    errno = error_ = EINVAL;
    return false;
  }
  ::seekdir(D(dir_), static_cast<long>(position));
  position_ = position;
  Directory_Entry_T<char> entry;
  for (unsigned skipped = 0; skipped <= max_skip; ++skipped) {
    int error = 0;
    if (!read_name(entry, error)) break;
    if (is_entry(entry.name)) {
      // The next entry still comes from this thread, so a caller with a
      // deadline gets one whatever the disk; read-ahead starts after it.
      read_here_count_ = READ_HERE_FIRST - 1;
      error_ = 0;
      return true;
    }
  }
  errno = error_ = ESTALE;
  return false;
}

bool Directory_Reader::read(Directory_Entry_T<char>& entry) {
  if (ahead_) return read_ahead(entry);
  if ((flags_ & READ_AHEAD) && dir_ && ++read_here_count_ > READ_HERE_FIRST) {
    start_read_ahead();
    if (ahead_) return read_ahead(entry);
  }
  return read_here(entry, error_);
}

void Directory_Reader::start_read_ahead() {
  try {
    auto ahead = std::make_shared<Read_Ahead>();
    ahead->full.reserve(BATCHES);
    ahead->empty.resize(BATCHES);
    for (Read_Ahead::Batch& b : ahead->empty) b.entries.resize(BATCH_SIZE);
    ahead_ = std::move(ahead);
    std::lock_guard<std::mutex> guard(ahead_->lock);
    start_helpers();
  } catch (const std::exception&) {
    // No memory: go on reading here.
    ahead_.reset();
  }
}

// Under the lock. On helper threads, and close() waits for `running` to
// drop instead of joining: a host that leaves while a listing is stuck on
// its client must not find a joinable thread behind. A helper keeps the
// shared state alive until it is out. Without one, read_ahead reads on the
// caller's thread.
void Directory_Reader::start_helpers() {
  Read_Ahead& a = *ahead_;
  const unsigned helpers = (flags_ & WITH_STAT) ? 2 : 1;
  while (a.running < helpers) {
    ++a.running;
    if (!platform::run_on_helper(
            [this, ahead = ahead_] { run_read_ahead(*ahead); })) {
      --a.running;
      return;
    }
  }
}

// A helper's loop: take an empty batch, fill it with names, stat them, hand
// it over.
void Directory_Reader::run_read_ahead(Read_Ahead& a) {
  for (;;) {
    Read_Ahead::Batch batch;
    {
      std::unique_lock<std::mutex> guard(a.lock);
      // Every batch full: the caller has stopped taking them (its
      // requester does not read). The helper leaves rather than wait with
      // a thread; the caller starts another when it gives a batch back.
      if (!a.emptied.wait_for(guard, HELPER_LINGER,
                              [&] { return a.stop || a.ended || !a.empty.empty(); }) ||
          a.stop || a.ended)
        return leave(a);
      batch = std::move(a.empty.back());
      a.empty.pop_back();
    }
    bool more = true;
    int error = 0;
    {
      std::lock_guard<std::mutex> stream(a.stream);
      if (a.names_ended) {
        // Another helper read the last names; this one has nothing to do.
        std::lock_guard<std::mutex> guard(a.lock);
        a.empty.push_back(std::move(batch));
        return leave(a);
      }
      batch.number = a.numbered++;
      try {
        while (batch.count < BATCH_SIZE && !a.stop &&
               (more = read_name(batch.entries[batch.count], error)))
          ++batch.count;
      } catch (const std::bad_alloc&) {
        more = false;
        error = ENOMEM;
      }
      if (!more) a.names_ended = true;
    }
    if (flags_ & WITH_STAT) {
      const int fd = ::dirfd(D(dir_));
      for (std::size_t i = 0; i < batch.count && !a.stop; ++i)
        stat_entry(fd, batch.entries[i]);
    }
    std::lock_guard<std::mutex> guard(a.lock);
    if (!more) {
      a.ended = true;
      a.last = batch.number;
      a.error = error;
      a.emptied.notify_all();  // helpers waiting for a batch leave
    }
    a.full.push_back(std::move(batch));
    a.filled.notify_one();
    if (!more) return leave(a);
  }
}

// Under the lock: the last a helper does with the reader.
void Directory_Reader::leave(Read_Ahead& a) {
  --a.running;
  a.filled.notify_one();
  if (a.running == 0) a.finished.notify_all();
}

bool Directory_Reader::read_ahead(Directory_Entry_T<char>& entry) {
  Read_Ahead& a = *ahead_;
  while (a.next == a.current.count) {
    std::unique_lock<std::mutex> guard(a.lock);
    if (!a.current.entries.empty()) {
      a.current.count = 0;
      a.empty.push_back(std::move(a.current));
      a.current = Read_Ahead::Batch();
      a.emptied.notify_one();
    }
    a.next = 0;
    const auto wanted = [&] {
      for (auto b = a.full.begin(); b != a.full.end(); ++b)
        if (b->number == a.wanted) return b;
      return a.full.end();
    };
    const auto past_last = [&] { return a.ended && a.wanted > a.last; };
    if (!a.ended) start_helpers();
    const auto ready = [&] {
      return wanted() != a.full.end() || past_last() || a.running == 0;
    };
    if (!has_deadline_) {
      a.filled.wait(guard, ready);
    } else if (!a.filled.wait_until(guard, deadline_, ready)) {
      errno = error_ = ETIMEDOUT;
      return false;
    }
    const auto b = wanted();
    if (b == a.full.end()) {
      if (past_last()) {
        errno = error_ = a.error;
        return false;
      }
      // No helper could start: this entry is read here, after every
      // batch the helpers handed over.
      guard.unlock();
      return read_here(entry, error_);
    }
    a.current = std::move(*b);
    a.full.erase(b);
    ++a.wanted;
  }
  std::swap(entry, a.current.entries[a.next++]);
  error_ = 0;
  return true;
}

bool Directory_Reader::read_here(Directory_Entry_T<char>& entry,
                                 int& error) {
  if (!read_name(entry, error)) return false;
  if (flags_ & WITH_STAT) stat_entry(::dirfd(D(dir_)), entry);
  return true;
}

bool Directory_Reader::read_name(Directory_Entry_T<char>& entry,
                                 int& error) {
  if (!dir_) {
    errno = error = EBADF;
    return false;
  }
  for (;;) {
    const std::int64_t at = position_;
    errno = 0;
    struct dirent* d = ::readdir(D(dir_));
    if (!d) {
      error = errno;
      return false;
    }
#ifdef _DIRENT_HAVE_D_OFF
    position_ = static_cast<std::int64_t>(d->d_off);
#else
    position_ = ::telldir(D(dir_));
#endif
    const char* n = d->d_name;
    if (skip_dots_ && n[0] == '.' && (!n[1] || (n[1] == '.' && !n[2])))
      continue;

    entry.name.assign(n);
    entry.position = at;
    const unsigned char type = types_unknown.load(std::memory_order_relaxed)
                                   ? static_cast<unsigned char>(DT_UNKNOWN)
                                   : d->d_type;
    entry.mode = mode_of_dirent_type(type);
    entry.has_stat = false;
    entry.size = 0;
    entry.mtime = 0;
    entry.target.clear();
    if (!(flags_ & WITH_STAT) && type == DT_UNKNOWN) {
      // Some file systems (XFS without ftype, many FUSE and network ones)
      // record no type in the directory: ask the entry itself, or a folder
      // would pass for a file.
      struct stat st;
      if (::fstatat(::dirfd(D(dir_)), n, &st, AT_SYMLINK_NOFOLLOW) == 0)
        entry.mode = st.st_mode & S_IFMT;
    }
    error = 0;
    return true;
  }
}

// Only the directory's descriptor is used, never its stream, so helpers
// stat while another reads names.
void Directory_Reader::stat_entry(int dir_fd, Directory_Entry_T<char>& entry) {
  struct stat st;
  if (::fstatat(dir_fd, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return;  // removed since readdir: still listed, without details
  entry.mode = st.st_mode;
  entry.has_stat = true;
  entry.size = static_cast<std::uint64_t>(st.st_size);
  entry.mtime = static_cast<std::int64_t>(st.st_mtime);
  if (S_ISLNK(st.st_mode)) {
    try {
      entry.target = read_link_at(dir_fd, entry.name.c_str(),
                                  static_cast<std::size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
      entry.target.clear();  // listed like a link whose target cannot be read
    }
  }
}

void Directory_Reader::report_types_unknown(bool unknown) {
  types_unknown.store(unknown);
}

void Directory_Reader::close() {
  if (ahead_) {
    std::unique_lock<std::mutex> guard(ahead_->lock);
    ahead_->stop = true;
    ahead_->emptied.notify_one();
    ahead_->finished.wait(guard, [&] { return ahead_->running == 0; });
    guard.unlock();
    ahead_.reset();
  }
  read_here_count_ = 0;
  if (dir_) ::closedir(D(dir_));
  dir_ = nullptr;
}
