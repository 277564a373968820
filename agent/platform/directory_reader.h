// Reads one directory entry by entry; nothing is collected, so a directory
// of any size costs the same memory.
#ifndef PLATFORM_DIRECTORY_READER_H
#define PLATFORM_DIRECTORY_READER_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#ifdef _WIN32
// A resume whose entry has gone fails with ESTALE everywhere; mingw's C
// library lacks it, so it takes Linux's number there.
#ifndef ESTALE
#define ESTALE 116
#endif
// The C runtime knows folders and files only; links (reparse points) are
// reported under the POSIX names.
#ifndef S_IFLNK
#define S_IFLNK 0120000
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)
#endif
// Never listed here; the test reads the same on both systems.
#ifndef S_ISSOCK
#define S_ISSOCK(m) (((m) & S_IFMT) == 0140000)
#endif
#endif

template <class C>
struct Directory_Entry_T;

template <>
struct Directory_Entry_T<char> {
  std::string name;
  // File type and permission bits (st_mode). With stat information off only
  // the type bits are set: those the directory reports, else those of an
  // fstatat. 0 when the entry vanished before it could be examined.
  mode_t mode = 0;
  bool has_stat = false;
  std::uint64_t size = 0;
  std::int64_t mtime = 0;  // POSIX seconds
  std::string target;      // where a symbolic link points
  // Where the entry can be read again (Directory_Reader::resume): the
  // directory's own offset of it on POSIX (telldir's), the number of
  // entries before it on Windows.
  std::int64_t position = 0;
};

class Directory_Reader {
 public:
  // Fill mode, size, time and link target of each entry: one lstat-class
  // call per entry (plus a readlink for links).
  static const unsigned WITH_STAT = 16;
  // Once a directory proves long, read (and stat) entries ahead on helper
  // threads while the caller works on earlier ones; they are handed over in
  // a few batches of fixed size, so memory stays flat. Helpers stop when
  // the reader is closed, and leave while the caller takes no batches (new
  // ones start when it does again). Ignored on Windows, where the
  // directory's listing carries each entry's details and is fetched in
  // large pieces already.
  static const unsigned READ_AHEAD = 32;

  Directory_Reader();
  ~Directory_Reader();
  Directory_Reader(const Directory_Reader&) = delete;
  Directory_Reader& operator=(const Directory_Reader&) = delete;

  // Opens `path` (drive paths such as d:\x are read through the drive
  // table). `skip_dots` leaves out "." and "..". False with errno set when
  // the directory cannot be read; ETIMEDOUT when its file system does not
  // answer within a couple of seconds (a dead network mount; on Windows the
  // network redirector's own timeout applies instead).
  bool open(const char* path, bool skip_dots, unsigned flags);

  // The next entry. False at the end (error() 0) or on a read error
  // (error() holds the errno value, errno too).
  bool read(Directory_Entry_T<char>& entry);

  int error() const { return error_; }
  void close();

  // What names the open directory, and what changes with its entries.
  struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;      // on Windows the file index
    std::int64_t modified_ns = 0;
    std::int64_t changed_ns = 0;  // status change; on Windows ChangeTime
  };
  // False with errno when the directory cannot be examined.
  bool identity(Identity& id) const;

  // Right after open: go on after an entry read before from this same
  // directory, unchanged since. Reads from `position` (its position) and
  // skips names until `is_entry` accepts one, at most `max_skip` of them
  // (file systems whose offsets are hashes may give a few entries one
  // position); the next read() gives the entry after it. False with errno
  // ESTALE when the entry is not there. A resumed listing has proven long,
  // so read-ahead starts after the next read.
  bool resume(std::int64_t position, const std::function<bool(const std::string&)>& is_entry,
              unsigned max_skip);

  // read() waits for read-ahead no later than `deadline`: then it fails
  // with ETIMEDOUT. Entries read on the caller's own thread are not cut.
  void set_deadline(std::chrono::steady_clock::time_point deadline) {
    deadline_ = deadline;
    has_deadline_ = true;
  }
  void clear_deadline() { has_deadline_ = false; }

  // For tests: every reader then sees each entry's type as DT_UNKNOWN, as
  // on file systems that keep no type in their directories.
  static void report_types_unknown(bool unknown);

 private:
  struct Read_Ahead;

  // The next entry read on the calling thread; `error` as error().
  bool read_here(Directory_Entry_T<char>& entry, int& error);
  // The next entry's name and what the directory says of its type.
  bool read_name(Directory_Entry_T<char>& entry, int& error);
  void stat_entry(int dir_fd, Directory_Entry_T<char>& entry);
  bool read_ahead(Directory_Entry_T<char>& entry);
  void start_read_ahead();
  void start_helpers();
  void run_read_ahead(Read_Ahead& a);
  static void leave(Read_Ahead& a);

  void* dir_;  // DIR*; on Windows the find handle and its pending entry
  bool skip_dots_;
  unsigned flags_;
  int error_;
  unsigned long read_here_count_;
  std::shared_ptr<Read_Ahead> ahead_;
  // Touched only by whoever holds the directory stream.
  std::int64_t position_ = 0;  // of the next name the stream gives
  std::chrono::steady_clock::time_point deadline_;
  bool has_deadline_ = false;
};

#endif
