// Which mounted file system holds a path.
#ifndef PLATFORM_MOUNTS_H
#define PLATFORM_MOUNTS_H

#include <string>

namespace platform {

struct Mount_Info {
  std::string source;       // device or remote ("/dev/sda1", "tmpfs", ...)
  std::string mount_point;
  std::string type;         // "ext4", "tmpfs", ...
};

// The mount holding `path` (the deepest mount point above its real path);
// false when the path does not exist or the mount table cannot be read.
bool mount_of(const std::string& path, Mount_Info& out);

}  // namespace platform

#endif
