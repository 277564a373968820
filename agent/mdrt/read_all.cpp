#include "agent/mdrt/read_all.h"

#include <cerrno>
#include <cstdio>

bool read_all(const char* path, std::string& out, bool trim) {
  out.clear();
  std::FILE* f = path ? std::fopen(path, "rb") : nullptr;
  if (!f) {
    if (!path) errno = EINVAL;
    return false;
  }
  char buffer[8192];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
    out.append(buffer, n);
  const bool ok = !std::ferror(f);
  std::fclose(f);
  if (!ok) {
    out.clear();
    errno = EIO;
    return false;
  }
  if (trim) out.erase(out.find_last_not_of(" \t\r\n") + 1);
  return true;
}
