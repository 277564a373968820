// The platform layer over POSIX (Linux): drive letters come from the drive
// table, volumes from the mount table, and every call that touches a mounted
// file system runs with a bounded wait, since a dead network mount blocks.
#ifndef PLATFORM_POSIX_PLATFORM_H
#define PLATFORM_POSIX_PLATFORM_H

#include <sys/statvfs.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/platform/platform.h"

// One line of /proc/self/mountinfo, escapes decoded.
struct Mount_Entry {
  std::string mount_point;
  std::string fs_type;
  std::string source;
};

// The mounts listed in mountinfo text, in order; malformed lines skipped.
std::vector<Mount_Entry> parse_mountinfo(const std::string& text);

// The mount holding absolute `path`: the longest mount point that is a
// prefix of it at a component boundary, the later one on a tie (the last
// mount shadows). Null when none is.
const Mount_Entry* find_mount(const std::vector<Mount_Entry>& mounts,
                              const std::string& path);

// Drive type a file-system type implies on its own: DRIVE_REMOTE,
// DRIVE_RAMDISK or DRIVE_CDROM; DRIVE_FIXED for all others (which may still
// turn out removable by their device).
UINT drive_type_of_fs(const std::string& fs_type);

// A name from /dev/disk/by-label with its \xHH escapes decoded.
std::string decode_label_name(const std::string& name);

namespace platform {

// How long a volume query waits for the file system before giving up.
constexpr std::chrono::milliseconds volume_wait_limit{2000};

// The mount point holding `path` as written (mountinfo only: never touches
// the mounted file system); "" when none does.
std::string mount_point_of(const std::string& path);

// The mounts of /proc/self/mountinfo: the one reader of the mount table,
// shared and read again only after a mount or unmount. It never touches
// the mounted file systems themselves, so it cannot hang on a dead one.
std::shared_ptr<const std::vector<Mount_Entry>> mount_table();

// The file-system label of a block device source, from the links udev
// keeps; "" when it has none.
std::string label_of(const std::string& source);
// Whether the block device behind `source` (or, for a partition, its disk)
// says it is removable.
bool is_removable(const std::string& source);

// `path` with every link and dot resolved; "" (errno) when that fails.
std::string real_path(const std::string& path);

// What one trip to a mounted file system found; filled on a helper thread.
struct Path_Probe {
  std::string real;  // "" when realpath failed or was not asked for
  int real_error = 0;
  bool have_stat = false;
  int stat_error = 0;
  struct statvfs vfs = {};
  dev_t dev = 0;  // only looked up when the file system has no fsid
};

// Resolves (`want_real`) and statvfs-es (`want_statvfs`) `path` with the
// bounded wait, keyed by the mount it lies on as written in `mounts`, so
// one dead mount holds back only its own callers. False (errno) when the
// probe did not come back in time.
bool bounded_probe(const std::vector<Mount_Entry>& mounts, const std::string& path,
                   bool want_real, bool want_statvfs, Path_Probe& out);

// Runs `task` on a helper thread and waits at most `limit` for it. True when
// it finished in time. Otherwise false with errno ETIMEDOUT, and the thread
// is left to finish on its own; until it does, further calls with the same
// `key` (a mount point) fail at once rather than pile up threads. `task` must
// own everything it touches (capture by value, shared_ptr for results).
bool run_bounded_task(const std::string& key, std::chrono::milliseconds limit,
                      std::function<void()> task);

// run_bounded_task for a probe returning a value: `out` gets the value when
// the probe finished in time and is untouched otherwise.
template <class Result, class Probe>
bool run_bounded(const std::string& key, std::chrono::milliseconds limit,
                 Probe probe, Result& out) {
  auto slot = std::make_shared<Result>();
  if (!run_bounded_task(key, limit, [slot, probe]() { *slot = probe(); }))
    return false;
  out = *slot;
  return true;
}

}  // namespace platform

// The real system.
class POSIX_Platform_API : public Platform_API {
 public:
  BOOL get_volume_information(LPCWSTR root, LPWSTR volume_name,
                              DWORD volume_name_size, LPDWORD serial,
                              LPDWORD max_component_length, LPDWORD fs_flags,
                              LPWSTR fs_name, DWORD fs_name_size) override;
  UINT get_drive_type(LPCWSTR root) override;
  BOOL get_disk_free_space_w(LPCWSTR root, LPDWORD sectors_per_cluster,
                             LPDWORD bytes_per_sector, LPDWORD free_clusters,
                             LPDWORD total_clusters) override;
  BOOL get_user_name(LPWSTR buffer, LPDWORD size) override;
  bool restore_connection(wchar_t letter, const wchar_t* remote) override;
  bool disk_free_space(const char* path, FS_Stat& out) override;
  std::string filesystem_type(const char* path) override;
  // clock_settime, which needs CAP_SYS_TIME.
  BOOL set_system_time(const SYSTEMTIME* utc) override;
  int power_off(bool restart) override;
};

#endif
