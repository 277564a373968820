#include <limits.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

#include "agent/platform/process_env.h"

namespace platform {

std::string program_path() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

std::string program_folder() {
  const std::string path = program_path();
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool set_environment(const std::string& name, const std::string& value) {
  return ::setenv(name.c_str(), value.c_str(), 1) == 0;
}

std::string get_environment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
}

std::string take_environment(const std::string& name) {
  std::string taken = get_environment(name);
  ::unsetenv(name.c_str());
  return taken;
}

std::uint64_t descriptor_limit() {
  rlimit files;
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return 0;
  return files.rlim_cur;
}

}  // namespace platform
