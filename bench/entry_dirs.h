// Directories of many empty files for the listing benchmarks: made once and
// reused while they hold the count asked for, since making a million files
// takes much longer than listing them.
#ifndef BENCH_ENTRY_DIRS_H
#define BENCH_ENTRY_DIRS_H

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

// Entries of `dir` but "." and ".."; -1 when it cannot be read.
inline long count_entries(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return -1;
  long n = 0;
  while (struct dirent* e = ::readdir(d))
    n += std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..");
  ::closedir(d);
  return n;
}

// `dir` holding entry-0.dat ... entry-(count-1).dat, unless it already
// holds `count` entries.
inline bool make_files(const std::string& dir, long count) {
  if (count_entries(dir) == count) return true;
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  for (long i = 0; i < count; ++i) {
    std::string p = dir + "/entry-" + std::to_string(i) + ".dat";
    int fd = ::open(p.c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd < 0) return false;
    ::close(fd);
  }
  return true;
}

inline int remove_one(const char* p, const struct stat*, int, struct FTW*) {
  return std::remove(p);
}

inline void remove_tree(const std::string& dir) {
  ::nftw(dir.c_str(), remove_one, 64, FTW_DEPTH | FTW_PHYS);
}

#endif
