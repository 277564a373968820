#include "agent/platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "agent/platform/calendar.h"
#include "agent/platform/utf.h"

// Supplied by the system's own file (posix_platform.cpp or
// win32_platform.cpp): its Platform_API, and whether drive letters are the
// system's own (then there is no drive table to read them through).
Platform_API& system_platform_api();
bool system_has_drive_letters();

namespace {

// FILETIME counts 100 ns ticks from 1601-01-01, 11644473600 s before 1970.
constexpr std::int64_t filetime_epoch_offset = 11644473600;
constexpr std::int64_t ticks_per_second = 10000000;

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

template <>
Platform_API* default_service<Platform_API>() {
  return &system_platform_api();
}
template class Service_Instance_T<Platform_API>;

Platform_API::~Platform_API() {}

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

bool posix_time_to_filetime(std::int64_t seconds, long nanoseconds,
                            FILETIME& out) {
  // Carry whole seconds out of the nanoseconds, rounding down.
  std::int64_t carry = nanoseconds / 1000000000;
  long rest = nanoseconds % 1000000000;
  if (rest < 0) {
    rest += 1000000000;
    --carry;
  }
  // Windows reads FILETIMEs above INT64_MAX as invalid; keep below that.
  constexpr std::int64_t max_seconds = INT64_MAX / ticks_per_second - 1;
  if (seconds < -filetime_epoch_offset - carry ||
      seconds > max_seconds - filetime_epoch_offset - carry)
    return false;
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(seconds + carry + filetime_epoch_offset) *
          ticks_per_second +
      static_cast<std::uint64_t>(rest / 100);
  out.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  out.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return true;
}

std::string error_text(int errnum) {
  char buf[256] = "";
#ifdef _WIN32
  const char* message = ::strerror_s(buf, sizeof buf, errnum) == 0 ? buf : nullptr;
#elif defined(__GLIBC__) && defined(_GNU_SOURCE)
  // GNU strerror_r may return a static string instead of filling buf.
  const char* message = ::strerror_r(errnum, buf, sizeof buf);
#else
  const char* message = ::strerror_r(errnum, buf, sizeof buf) == 0 ? buf : nullptr;
#endif
  return message && *message ? message : "Unknown error";
}

std::string last_error_text(unsigned long code) {
#ifdef _WIN32
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text ? text : L"", length);
  ::LocalFree(text);
  // One line, as strerror's: no trailing line break or period.
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                              message.back() == L'.' || message.back() == L' '))
    message.pop_back();
  return message.empty() ? "Unknown error" : utf16_to_utf8(message.c_str());
#else
  return error_text(static_cast<int>(code));
#endif
}

std::string native_separators(std::string path) {
  if (!system_has_drive_letters())
    for (char& c : path)
      if (c == '\\') c = '/';
  return path;
}

BOOL set_system_clock(const SYSTEMTIME& t) {
  // The day of the week is ignored, as Windows does.
  if (t.wYear < 1601 || t.wYear > 30827 || t.wMonth < 1 || t.wMonth > 12 ||
      t.wDay < 1 || t.wDay > days_in_month(t.wYear, t.wMonth) ||
      t.wHour > 23 || t.wMinute > 59 || t.wSecond > 59 ||
      t.wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return Platform_API::instance()->set_system_time(&t);
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

BOOL FileTimeToSystemTime(const FILETIME* file_time,
                          LPSYSTEMTIME system_time) {
  if (!file_time || !system_time) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(file_time->dwHighDateTime) << 32) |
      file_time->dwLowDateTime;
  constexpr std::uint64_t ticks_per_day = 86400ull * ticks_per_second;
  const std::int64_t days = static_cast<std::int64_t>(ticks / ticks_per_day);
  std::uint64_t rest = ticks % ticks_per_day;
  std::int64_t year;
  unsigned month, day;
  civil_from_days(days + days_from_civil(1601, 1, 1), year, month, day);
  // SYSTEMTIME ends with the year 30827, as on Windows.
  if (year > 30827) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  system_time->wYear = static_cast<WORD>(year);
  system_time->wMonth = static_cast<WORD>(month);
  system_time->wDay = static_cast<WORD>(day);
  // 1601-01-01 was a Monday; Sunday is 0.
  system_time->wDayOfWeek = static_cast<WORD>((days + 1) % 7);
  system_time->wHour = static_cast<WORD>(rest / (3600ull * ticks_per_second));
  rest %= 3600ull * ticks_per_second;
  system_time->wMinute = static_cast<WORD>(rest / (60ull * ticks_per_second));
  rest %= 60ull * ticks_per_second;
  system_time->wSecond = static_cast<WORD>(rest / ticks_per_second);
  system_time->wMilliseconds =
      static_cast<WORD>(rest % ticks_per_second / 10000);
  return TRUE;
}

BOOL SetSystemTime(const SYSTEMTIME* system_time) {
  if (!system_time) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return platform::set_system_clock(*system_time);
}

DWORD GetLastError() { return last_error; }

void SetLastError(DWORD error) { last_error = error; }

#endif  // _WIN32
