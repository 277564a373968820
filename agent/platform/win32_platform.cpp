// The platform layer on Windows: the system's own calls, unchanged. Drive
// letters are native here, so platform.cpp leaves paths as they are. Files,
// folders, processes, mounts, interfaces and the system's description have
// files of their own (win32_*.cpp), as on the POSIX side.
#include <winsock2.h>  // before windows.h, whose old winsock clashes with it
#include <windows.h>
#include <winnetwk.h>

#include <cerrno>
#include <string>

// mpr.dll exports it on every Windows, but MinGW's header declares it only
// for targets older than Vista.
#if defined(__MINGW32__) && _WIN32_WINNT >= 0x0600
extern "C" DWORD WINAPI WNetRestoreConnectionW(HWND parent, LPCWSTR device);
#endif

#include "agent/platform/platform.h"
#include "agent/platform/utf.h"
#include "agent/platform/win32_errors.h"

namespace {

using platform::win32::errno_of;

// The root of the volume holding `path` (C:\, a folder a volume is mounted
// on, \\server\share\); "" when there is none.
std::wstring volume_root_of(const char* path) {
  if (!path || !*path) return std::wstring();
  const std::wstring wide = utf8_to_utf16(path);
  wchar_t volume[MAX_PATH + 1];
  if (!::GetVolumePathNameW(wide.c_str(), volume, MAX_PATH + 1)) return std::wstring();
  return volume;
}

}  // namespace

#ifdef _MSC_VER
#pragma comment(lib, "mpr.lib")  // WNetRestoreConnectionW
#endif

class Win32_Platform_API : public Platform_API {
 public:
  BOOL get_volume_information(LPCWSTR root, LPWSTR volume_name,
                              DWORD volume_name_size, LPDWORD serial,
                              LPDWORD max_component_length, LPDWORD fs_flags,
                              LPWSTR fs_name, DWORD fs_name_size) override {
    return ::GetVolumeInformationW(root, volume_name, volume_name_size, serial,
                                   max_component_length, fs_flags, fs_name,
                                   fs_name_size);
  }

  UINT get_drive_type(LPCWSTR root) override { return ::GetDriveTypeW(root); }

  BOOL get_disk_free_space_w(LPCWSTR root, LPDWORD sectors_per_cluster,
                             LPDWORD bytes_per_sector, LPDWORD free_clusters,
                             LPDWORD total_clusters) override {
    return ::GetDiskFreeSpaceW(root, sectors_per_cluster, bytes_per_sector,
                               free_clusters, total_clusters);
  }

  BOOL get_user_name(LPWSTR buffer, LPDWORD size) override {
    return ::GetUserNameW(buffer, size);
  }

  bool restore_connection(wchar_t letter, const wchar_t*) override {
    wchar_t drive[3] = {letter, L':', 0};
    return ::WNetRestoreConnectionW(NULL, drive) == NO_ERROR;
  }

  bool disk_free_space(const char* path, FS_Stat& out) override {
    if (!path) return false;
    ULARGE_INTEGER available, total, total_free;
    if (!::GetDiskFreeSpaceExW(utf8_to_utf16(path).c_str(), &available, &total,
                               &total_free))
      return false;
    out.unit_size = 1;
    out.total_units = total.QuadPart;
    out.free_units = available.QuadPart;
    out.free_units_all = total_free.QuadPart;
    return true;
  }

  std::string filesystem_type(const char* path) override {
    const std::wstring root = volume_root_of(path);
    wchar_t name[MAX_PATH + 1];
    if (root.empty() || !::GetVolumeInformationW(root.c_str(), NULL, 0, NULL, NULL,
                                                 NULL, name, MAX_PATH + 1))
      return std::string();
    return utf16_to_utf8(name);
  }

  BOOL set_system_time(const SYSTEMTIME* utc) override {
    return ::SetSystemTime(utc);
  }

  int power_off(bool restart) override {
    // A service holds the shutdown privilege but must switch it on first.
    HANDLE token;
    if (::OpenProcessToken(::GetCurrentProcess(),
                           TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
      TOKEN_PRIVILEGES p = {};
      p.PrivilegeCount = 1;
      p.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
      if (::LookupPrivilegeValueW(NULL, L"SeShutdownPrivilege", &p.Privileges[0].Luid))
        ::AdjustTokenPrivileges(token, FALSE, &p, 0, NULL, NULL);
      ::CloseHandle(token);
    }
    if (::InitiateSystemShutdownExW(
            NULL, NULL, 0, TRUE, restart ? TRUE : FALSE,
            SHTDN_REASON_MAJOR_OTHER | SHTDN_REASON_FLAG_PLANNED))
      return 0;
    errno = errno_of(::GetLastError());
    return -1;
  }
};

// Never destroyed, like the POSIX one: callers may still come during exit.
Platform_API& system_platform_api() {
  static Platform_API* api = new Win32_Platform_API();
  return *api;
}

bool system_has_drive_letters() { return true; }
