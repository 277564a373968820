// What File and the whole-file read do alike on every system; the system
// calls are in posix_file.cpp and win32_file.cpp.
#include "agent/platform/file.h"

#include <string>

#include "agent/platform/files.h"

namespace platform {

File::File(File&& other) noexcept : handle_(other.handle_), append_(other.append_) {
  other.handle_ = CLOSED;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.handle_;
    append_ = other.append_;
    other.handle_ = CLOSED;
  }
  return *this;
}

bool read_file(const std::string& path, std::string& out, bool trim_end) {
  out.clear();
  File file;
  if (!file.open_regular(path)) return false;
  char buffer[8192];
  long n;
  while ((n = file.read(buffer, sizeof buffer)) > 0)
    out.append(buffer, static_cast<std::size_t>(n));
  if (n < 0) {
    out.clear();
    return false;
  }
  if (trim_end) out.erase(out.find_last_not_of(" \t\r\n") + 1);
  return true;
}

}  // namespace platform
