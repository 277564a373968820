#include "agent/platform/process_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>

namespace platform {

bool resident_memory(std::uint64_t& bytes) {
  // The second field of statm: resident pages.
  std::FILE* f = std::fopen("/proc/self/statm", "re");
  if (!f) return false;
  unsigned long long size = 0, resident = 0;
  const bool read = std::fscanf(f, "%llu %llu", &size, &resident) == 2;
  std::fclose(f);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (!read || page <= 0) return false;
  bytes = resident * static_cast<unsigned long long>(page);
  return true;
}

bool open_descriptors(std::uint64_t& count) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return false;
  std::uint64_t n = 0;
  while (const dirent* entry = ::readdir(dir))
    if (entry->d_name[0] != '.') ++n;
  ::closedir(dir);
  // Less the one this listing held open.
  count = n > 0 ? n - 1 : 0;
  return true;
}

}  // namespace platform
