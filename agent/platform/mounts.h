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

// The mount holding `path` (the deepest mount point above its real path),
// from the one mount-table reader of posix_platform. Resolving the path
// waits a bounded time, like every call that touches a mount: on a mount
// that does not answer, the mount the path lies on as written is given.
// False when the path does not exist or no mount holds it.
bool mount_of(const std::string& path, Mount_Info& out);

}  // namespace platform

#endif
