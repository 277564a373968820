// The Windows calls of Platform_API over POSIX: drive letters are read
// through the drive table, volumes through the mount table, and every call
// that touches a mounted file system waits a bounded time.
#include "agent/platform/posix_platform.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "agent/platform/utf.h"

// Never destroyed: a late probe thread may still call in during exit.
Platform_API& system_platform_api() {
  static Platform_API* api = new POSIX_Platform_API();
  return *api;
}

// Drive letters here are only names from the drive table.
bool system_has_drive_letters() { return false; }

namespace {

// The mount point behind a root such as L"d:\\" or L"d:"; "" with the
// reason set as last error when there is none.
std::string drive_of_root(LPCWSTR root) {
  const auto is_letter = [](wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
  };
  if (!root || !is_letter(root[0]) || root[1] != L':' ||
      (root[2] != 0 &&
       ((root[2] != L'\\' && root[2] != L'/') || root[3] != 0))) {
    SetLastError(EINVAL);
    return std::string();
  }
  std::string mount_point =
      platform::drive_mount_point(static_cast<char>(root[0]));
  if (mount_point.empty()) SetLastError(ENOENT);
  return mount_point;
}

void copy_wide(const std::wstring& text, LPWSTR buffer, DWORD size) {
  if (!buffer || size == 0) return;
  const std::size_t n = std::min<std::size_t>(text.size(), size - 1);
  std::copy(text.begin(), text.begin() + n, buffer);
  buffer[n] = 0;
}

std::string effective_user_name() {
  const uid_t uid = ::geteuid();
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  if (size <= 0) size = 1024;
  for (; size <= (1L << 20); size *= 2) {
    std::vector<char> buffer(size);
    struct passwd pw;
    struct passwd* found = nullptr;
    const int rc = ::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE) continue;
    if (rc == 0 && found && found->pw_name) return found->pw_name;
    break;
  }
  return std::to_string(uid);
}

}  // namespace

BOOL POSIX_Platform_API::get_volume_information(
    LPCWSTR root, LPWSTR volume_name, DWORD volume_name_size, LPDWORD serial,
    LPDWORD max_component_length, LPDWORD fs_flags, LPWSTR fs_name,
    DWORD fs_name_size) {
  const std::string mount_point = drive_of_root(root);
  if (mount_point.empty()) return FALSE;
  const std::shared_ptr<const std::vector<Mount_Entry>> table = platform::mount_table();
  const std::vector<Mount_Entry>& mounts = *table;
  platform::Path_Probe p;
  if (!platform::bounded_probe(mounts, mount_point, true, true, p)) {
    SetLastError(errno);
    return FALSE;
  }
  if (!p.have_stat) {
    SetLastError(p.stat_error);
    return FALSE;
  }
  const Mount_Entry* m =
      find_mount(mounts, p.real.empty() ? mount_point : p.real);
  copy_wide(utf8_to_utf16(m ? platform::label_of(m->source) : std::string()), volume_name,
            volume_name_size);
  copy_wide(utf8_to_utf16(m ? m->fs_type : std::string()), fs_name,
            fs_name_size);
  if (serial) *serial = static_cast<DWORD>(p.vfs.f_fsid ? p.vfs.f_fsid : p.dev);
  if (max_component_length)
    *max_component_length = static_cast<DWORD>(p.vfs.f_namemax);
  if (fs_flags) *fs_flags = 0x3;  // case sensitive, case preserved
  return TRUE;
}

UINT POSIX_Platform_API::get_drive_type(LPCWSTR root) {
  const std::string mount_point = drive_of_root(root);
  if (mount_point.empty()) return DRIVE_NO_ROOT_DIR;
  const std::shared_ptr<const std::vector<Mount_Entry>> table = platform::mount_table();
  const std::vector<Mount_Entry>& mounts = *table;
  // When the probe does not come back, judge the mount by its name alone:
  // a hanging drive is most likely a remote one, and still worth listing.
  std::string where = mount_point;
  platform::Path_Probe p;
  if (platform::bounded_probe(mounts, mount_point, true, false, p)) {
    if (p.real.empty() && (p.real_error == ENOENT || p.real_error == ENOTDIR))
      return DRIVE_NO_ROOT_DIR;
    if (!p.real.empty()) where = p.real;
  }
  const Mount_Entry* m = find_mount(mounts, where);
  if (!m) return DRIVE_UNKNOWN;
  const UINT type = drive_type_of_fs(m->fs_type);
  if (type != DRIVE_FIXED) return type;
  return platform::is_removable(m->source) ? DRIVE_REMOVABLE : DRIVE_FIXED;
}

BOOL POSIX_Platform_API::get_disk_free_space_w(LPCWSTR root,
                                               LPDWORD sectors_per_cluster,
                                               LPDWORD bytes_per_sector,
                                               LPDWORD free_clusters,
                                               LPDWORD total_clusters) {
  const std::string mount_point = drive_of_root(root);
  if (mount_point.empty()) return FALSE;
  platform::Path_Probe p;
  if (!platform::bounded_probe(*platform::mount_table(), mount_point, false, true, p)) {
    SetLastError(errno);
    return FALSE;
  }
  if (!p.have_stat) {
    SetLastError(p.stat_error);
    return FALSE;
  }
  const std::uint64_t unit = p.vfs.f_frsize ? p.vfs.f_frsize : p.vfs.f_bsize;
  const std::uint64_t blocks = p.vfs.f_blocks;
  const std::uint64_t avail = p.vfs.f_bavail;
  // Cluster counts are 32-bit: grow the cluster until both counts fit.
  std::uint64_t per_cluster = 1;
  while (blocks / per_cluster > 0xFFFFFFFFu ||
         avail / per_cluster > 0xFFFFFFFFu)
    per_cluster *= 2;
  if (sectors_per_cluster)
    *sectors_per_cluster = static_cast<DWORD>(per_cluster);
  if (bytes_per_sector) *bytes_per_sector = static_cast<DWORD>(unit);
  if (free_clusters) *free_clusters = static_cast<DWORD>(avail / per_cluster);
  if (total_clusters)
    *total_clusters = static_cast<DWORD>(blocks / per_cluster);
  return TRUE;
}

BOOL POSIX_Platform_API::get_user_name(LPWSTR buffer, LPDWORD size) {
  if (!size) {
    SetLastError(EINVAL);
    return FALSE;
  }
  const std::wstring name = utf8_to_utf16(effective_user_name());
  const DWORD needed = static_cast<DWORD>(name.size() + 1);
  if (!buffer || *size < needed) {
    *size = needed;
    SetLastError(ERANGE);
    return FALSE;
  }
  copy_wide(name, buffer, needed);
  *size = needed;
  return TRUE;
}

bool POSIX_Platform_API::restore_connection(wchar_t, const wchar_t*) {
  return false;
}

bool POSIX_Platform_API::disk_free_space(const char* path, FS_Stat& out) {
  if (!path) {
    errno = EINVAL;
    return false;
  }
  const std::string resolved = platform::resolve_path(path);
  if (resolved.empty()) {
    errno = ENOENT;
    return false;
  }
  platform::Path_Probe p;
  if (!platform::bounded_probe(*platform::mount_table(), resolved, false, true, p)) return false;
  if (!p.have_stat) {
    errno = p.stat_error;
    return false;
  }
  out.unit_size = static_cast<std::uint32_t>(p.vfs.f_frsize ? p.vfs.f_frsize
                                                            : p.vfs.f_bsize);
  out.total_units = p.vfs.f_blocks;
  out.free_units = p.vfs.f_bavail;
  out.free_units_all = p.vfs.f_bfree;
  return true;
}

std::string POSIX_Platform_API::filesystem_type(const char* path) {
  if (!path) return std::string();
  const std::string resolved = platform::resolve_path(path);
  if (resolved.empty()) return std::string();
  const std::shared_ptr<const std::vector<Mount_Entry>> table = platform::mount_table();
  const std::vector<Mount_Entry>& mounts = *table;
  // On a timeout the path as written is the best guide to its mount.
  std::string where = resolved;
  platform::Path_Probe p;
  if (platform::bounded_probe(mounts, resolved, true, false, p)) {
    if (p.real.empty()) return std::string();
    where = p.real;
  }
  const Mount_Entry* m = find_mount(mounts, where);
  return m ? m->fs_type : std::string();
}
