#include "agent/platform/mounts.h"

#include <limits.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

namespace platform {

namespace {

// The mount table writes blanks and backslashes in octal ("\040").
std::string unescape(const std::string& field) {
  std::string out;
  for (std::string::size_type i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() &&
        field.find_first_not_of("01234567", i + 1) >= i + 4) {
      out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
      i += 3;
      continue;
    }
    out += field[i];
  }
  return out;
}

bool contains(const std::string& mount_point, const std::string& path) {
  if (mount_point == "/") return true;
  return path.compare(0, mount_point.size(), mount_point) == 0 &&
         (path.size() == mount_point.size() || path[mount_point.size()] == '/');
}

}  // namespace

bool mount_of(const std::string& path, Mount_Info& out) {
  char real[PATH_MAX];
  if (!::realpath(path.c_str(), real)) return false;
  std::ifstream table("/proc/self/mounts");
  if (!table) return false;
  bool found = false;
  std::string line;
  // Later lines mount over earlier ones at the same point.
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string source, point, type;
    if (!(fields >> source >> point >> type)) continue;
    point = unescape(point);
    if (!contains(point, real)) continue;
    if (found && point.size() < out.mount_point.size()) continue;
    out = Mount_Info{unescape(source), point, type};
    found = true;
  }
  return found;
}

}  // namespace platform
