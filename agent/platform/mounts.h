// Which mounted file system holds a path, and the drives there are.
#ifndef PLATFORM_MOUNTS_H
#define PLATFORM_MOUNTS_H

#include <string>
#include <vector>

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
// On Windows: the volume root holding it ("c:\\" or a mount folder), the
// volume's name (\\?\Volume{...}\) or the share as source, and the
// file-system type. False when the path does not exist or no mount holds it.
bool mount_of(const std::string& path, Mount_Info& out);

// The root of every drive ("c:\\", "d:\\", ...), letters in lower case and
// in order: the drive table's on POSIX, the system's on Windows.
std::vector<std::string> list_drives();

}  // namespace platform

#endif
