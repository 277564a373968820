// Environment expansion and folder making, through ACE's portable calls.
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_sys_stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "agent/platform/platform.h"

namespace platform {

std::string expand_environment(const std::string& text) {
  std::string out;
  for (std::string::size_type start = 0; start < text.size();) {
    std::string::size_type next = text.find('$', start + 1);
    if (next == std::string::npos) next = text.size();
    const std::string piece = text.substr(start, next - start);
    char* expanded = ACE_OS::strenvdup(piece.c_str());
    out += expanded ? expanded : piece.c_str();
    std::free(expanded);
    start = next;
  }
  return native_separators(out);
}

bool make_folders(const std::string& path, int mode) {
  for (std::string::size_type end = path.find_first_of("/\\", 1);;
       end = path.find_first_of("/\\", end + 1)) {
    const std::string part = path.substr(0, end);
    if (!part.empty() && ACE_OS::mkdir(part.c_str(), mode) != 0 &&
        errno != EEXIST)
      return false;
    if (end == std::string::npos) break;
  }
  ACE_stat st;
  return ACE_OS::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFDIR);
}

}  // namespace platform
