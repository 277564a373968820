// Resident memory, open descriptors and threads of a process, from /proc.
#ifndef BENCH_PROC_FIGURES_H
#define BENCH_PROC_FIGURES_H

#include <dirent.h>

#include <cstdlib>
#include <fstream>
#include <string>

struct Proc_Figures {
  long rss_kib = -1, fds = -1, threads = -1;
};

// -1 in each figure that could not be read.
inline Proc_Figures proc_figures(long pid) {
  Proc_Figures f;
  if (pid <= 0) return f;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 6, "VmRSS:") == 0) f.rss_kib = std::atol(line.c_str() + 6);
    else if (line.compare(0, 8, "Threads:") == 0) f.threads = std::atol(line.c_str() + 8);
  if (DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    f.fds = 0;
    while (dirent* e = ::readdir(d)) f.fds += e->d_name[0] != '.';
    ::closedir(d);
  }
  return f;
}

#endif
