// The platform layer on Windows: the system's own calls, unchanged. Drive
// letters are native here, so platform.cpp leaves paths as they are.
#include <windows.h>
#include <winnetwk.h>

#include <cerrno>
#include <string>

// mpr.dll exports it on every Windows, but MinGW's header declares it only
// for targets older than Vista.
#if defined(__MINGW32__) && _WIN32_WINNT >= 0x0600
extern "C" DWORD WINAPI WNetRestoreConnectionW(HWND parent, LPCWSTR device);
#endif

#include "agent/platform/files.h"
#include "agent/platform/platform.h"
#include "agent/platform/utf.h"

namespace {

// The errno for what a Windows call left in GetLastError: callers of the
// portable functions read errno, where a Windows code would be misread.
int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
      return EINVAL;
    case ERROR_SHUTDOWN_IN_PROGRESS:
      return EBUSY;
    default:
      return EIO;
  }
}

bool fail_with(DWORD error) {
  errno = errno_of(error);
  return false;
}

// Writes all of `data`; WriteFile takes at most 4 GiB a call.
bool write_all(HANDLE h, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const std::size_t rest = data.size() - done;
    DWORD n = 0;
    if (!::WriteFile(h, data.data() + done,
                     static_cast<DWORD>(rest > 0x40000000 ? 0x40000000 : rest),
                     &n, NULL) || n == 0)
      return false;
    done += n;
  }
  return true;
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
    ULARGE_INTEGER available, total, total_free;
    if (!::GetDiskFreeSpaceExA(path, &available, &total, &total_free))
      return false;
    out.unit_size = 1;
    out.total_units = total.QuadPart;
    out.free_units = available.QuadPart;
    out.free_units_all = total_free.QuadPart;
    return true;
  }

  std::string filesystem_type(const char* path) override {
    char volume[MAX_PATH + 1];
    if (!path || !::GetVolumePathNameA(path, volume, MAX_PATH + 1))
      return std::string();
    char name[MAX_PATH + 1];
    if (!::GetVolumeInformationA(volume, NULL, 0, NULL, NULL, NULL, name,
                                 MAX_PATH + 1))
      return std::string();
    return name;
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

namespace platform {

bool make_executable(const std::string&) { return true; }

// Windows has no mode bits: who may read the file is the folder's ACL.
bool replace_file(const std::string& path, const std::string& content, int) {
  const std::wstring target = utf8_to_utf16(path);
  const std::wstring temp = utf8_to_utf16(path + ".tmp");
  HANDLE h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return fail_with(::GetLastError());
  bool ok = write_all(h, content) && ::FlushFileBuffers(h);
  DWORD error = ::GetLastError();
  ::CloseHandle(h);
  if (ok && ::MoveFileExW(temp.c_str(), target.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  if (ok) error = ::GetLastError();
  ::DeleteFileW(temp.c_str());
  return fail_with(error);
}

// FILE_APPEND_DATA alone makes every write land whole at the end.
bool append_line(const std::string& path, const std::string& line, int) {
  HANDLE h = ::CreateFileW(utf8_to_utf16(path).c_str(), FILE_APPEND_DATA,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return fail_with(::GetLastError());
  const bool ok = write_all(h, line);
  const DWORD error = ::GetLastError();
  ::CloseHandle(h);
  return ok || fail_with(error);
}

// Disk files only: a pipe or a device would hold the reader.
bool read_file(const std::string& path, std::string& out, bool trim_end) {
  out.clear();
  HANDLE h = ::CreateFileW(utf8_to_utf16(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return fail_with(::GetLastError());
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    return fail_with(ERROR_INVALID_PARAMETER);
  }
  char buffer[8192];
  DWORD n = 0;
  BOOL ok;
  while ((ok = ::ReadFile(h, buffer, sizeof buffer, &n, NULL)) && n > 0) out.append(buffer, n);
  const DWORD error = ::GetLastError();
  ::CloseHandle(h);
  if (!ok) {
    out.clear();
    return fail_with(error);
  }
  if (trim_end) out.erase(out.find_last_not_of(" \t\r\n") + 1);
  return true;
}

bool make_folders(const std::string& path, int) {
  for (std::string::size_type end = path.find_first_of("/\\", 1);;
       end = path.find_first_of("/\\", end + 1)) {
    const std::string part = path.substr(0, end);
    // "d:" alone names a drive, not a folder to make.
    if (!part.empty() && !(part.size() == 2 && part[1] == ':') &&
        !::CreateDirectoryW(utf8_to_utf16(part).c_str(), NULL) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS)
      return fail_with(::GetLastError());
    if (end == std::string::npos) break;
  }
  const DWORD attributes = ::GetFileAttributesW(utf8_to_utf16(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool describe_system(System_Description& out) {
  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof name;
  if (!::GetComputerNameA(name, &size)) return false;
  out.nodename = name;
  out.sysname = "Windows";
  SYSTEM_INFO si;
  ::GetNativeSystemInfo(&si);
  out.cpus = static_cast<long>(si.dwNumberOfProcessors);
  out.machine = si.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64
                    ? "x86_64"
                    : "";
  MEMORYSTATUSEX memory;
  memory.dwLength = sizeof memory;
  out.memory = ::GlobalMemoryStatusEx(&memory) ? memory.ullTotalPhys : 0;
  return true;
}

std::int64_t uptime_seconds() {
  return static_cast<std::int64_t>(::GetTickCount64() / 1000);
}

}  // namespace platform
