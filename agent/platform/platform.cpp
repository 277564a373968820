#include "agent/platform/platform.h"

#include <map>
#include <mutex>

#include "agent/mdrt/service_instance.h"

// Supplied by the system's own file (posix_platform.cpp or
// win32_platform.cpp): its Platform_API, and whether drive letters are the
// system's own (then there is no drive table to read them through).
Platform_API& system_platform_api();
bool system_has_drive_letters();

namespace {

// Null stands for the system's API, created on first use, so the slot is
// constant-initialized and safe to use from any static initializer.
Service_Slot_T<Platform_API> slot(nullptr);

Platform_API* or_system(Platform_API* api) {
  return api ? api : &system_platform_api();
}

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

class Drive_Table {
 public:
  bool set(char letter, const std::string& mount_point) {
    if (!is_letter(letter) || mount_point.empty() || mount_point[0] != '/')
      return false;
    std::lock_guard<std::mutex> lock(mutex_);
    drives_[lower(letter)] = mount_point;
    return true;
  }

  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    drives_ = defaults();
  }

  std::string get(char letter) {
    if (!is_letter(letter)) return std::string();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = drives_.find(lower(letter));
    return it == drives_.end() ? std::string() : it->second;
  }

 private:
  static std::map<char, std::string> defaults() { return {{'c', "/"}}; }

  std::mutex mutex_;
  std::map<char, std::string> drives_ = defaults();
};

Drive_Table& drive_table() {
  static Drive_Table table;
  return table;
}

}  // namespace

Platform_API::~Platform_API() {}

Platform_API* Platform_API::instance() { return or_system(slot.get()); }

Platform_API* Platform_API::instance(Platform_API* replacement) {
  return or_system(slot.exchange(replacement));
}

bool get_disk_free_space(const char* path, FS_Stat& out) {
  return Platform_API::instance()->disk_free_space(path, out);
}

std::string get_filesystem_type(const char* path) {
  return Platform_API::instance()->filesystem_type(path);
}

bool wnet_restore_connection(wchar_t letter, const wchar_t* remote_name) {
  return Platform_API::instance()->restore_connection(letter, remote_name);
}

namespace platform {

bool set_drive(char letter, const std::string& mount_point) {
  if (system_has_drive_letters()) return false;
  return drive_table().set(letter, mount_point);
}

void clear_drives() { drive_table().clear(); }

std::string drive_mount_point(char letter) {
  if (system_has_drive_letters()) return std::string();
  return drive_table().get(letter);
}

std::string resolve_path(const std::string& path) {
  if (system_has_drive_letters()) return path;
  if (path.size() < 2 || !is_letter(path[0]) || path[1] != ':') return path;
  std::string mount_point = drive_table().get(path[0]);
  if (mount_point.empty()) return std::string();

  // "d:x" has no per-drive current directory to be relative to here: it is
  // read from the drive's root like "d:\\x".
  std::string rest;
  for (std::size_t i = 2; i < path.size(); ++i) {
    const char c = path[i] == '\\' ? '/' : path[i];
    if (c == '/' && (rest.empty() || rest.back() == '/')) continue;
    rest += c;
  }
  std::string out = mount_point;
  if (!rest.empty()) {
    if (out.back() != '/') out += '/';
    out += rest;
  }
  return out;
}

}  // namespace platform

#ifndef _WIN32

namespace {
thread_local DWORD last_error = 0;
}  // namespace

BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volume_name,
                           DWORD volume_name_size, LPDWORD serial,
                           LPDWORD max_component_length, LPDWORD fs_flags,
                           LPWSTR fs_name, DWORD fs_name_size) {
  return Platform_API::instance()->get_volume_information(
      root, volume_name, volume_name_size, serial, max_component_length,
      fs_flags, fs_name, fs_name_size);
}

UINT GetDriveTypeW(LPCWSTR root) {
  return Platform_API::instance()->get_drive_type(root);
}

BOOL GetDiskFreeSpaceW(LPCWSTR root, LPDWORD sectors_per_cluster,
                       LPDWORD bytes_per_sector, LPDWORD free_clusters,
                       LPDWORD total_clusters) {
  return Platform_API::instance()->get_disk_free_space_w(
      root, sectors_per_cluster, bytes_per_sector, free_clusters,
      total_clusters);
}

BOOL GetUserNameW(LPWSTR buffer, LPDWORD size) {
  return Platform_API::instance()->get_user_name(buffer, size);
}

DWORD GetLastError() { return last_error; }

void SetLastError(DWORD error) { last_error = error; }

#endif  // _WIN32
