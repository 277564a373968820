// The Windows calls the module makes, under their Windows names. On Windows
// they are the system's own; elsewhere the platform layer supplies them over
// POSIX (see Platform_API), so handler code has no #ifdef of its own.
// Wide strings hold UTF-16 code units, one per wchar_t, on every platform.
#ifndef PLATFORM_WIN32_H
#define PLATFORM_WIN32_H

#ifdef _WIN32
// Sockets first: windows.h alone brings the old winsock, which ACE's and
// Asio's winsock2.h then clash with.
#include <winsock2.h>
#include <windows.h>
#include <lmcons.h>  // UNLEN
#else

#include <cerrno>
#include <cstdint>

typedef std::uint32_t DWORD;
typedef int BOOL;
typedef unsigned int UINT;
typedef wchar_t WCHAR;
typedef wchar_t* LPWSTR;
typedef const wchar_t* LPCWSTR;
typedef DWORD* LPDWORD;
typedef std::uint16_t WORD;

// 100-nanosecond intervals since 1601-01-01 00:00:00 UTC.
typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6

#define UNLEN 256

// On POSIX the platform layer reports errno values through GetLastError, so
// errno = GetLastError() gives %m its text, and the Windows names of the
// errors the agent sets itself are those errno values. On Windows they are
// Windows' own codes: the two numberings never share a variable.
#define ERROR_INVALID_PARAMETER EINVAL
#define ERROR_NOT_ENOUGH_MEMORY ENOMEM
#define ERROR_ACCESS_DENIED EACCES

BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR volume_name,
                           DWORD volume_name_size, LPDWORD serial,
                           LPDWORD max_component_length, LPDWORD fs_flags,
                           LPWSTR fs_name, DWORD fs_name_size);
UINT GetDriveTypeW(LPCWSTR root);
BOOL GetDiskFreeSpaceW(LPCWSTR root, LPDWORD sectors_per_cluster,
                       LPDWORD bytes_per_sector, LPDWORD free_clusters,
                       LPDWORD total_clusters);
BOOL GetUserNameW(LPWSTR buffer, LPDWORD size);
BOOL FileTimeToSystemTime(const FILETIME* file_time, LPSYSTEMTIME system_time);
// Sets the clock to a UTC time. Callers that honour the host's clock mode
// go through systemutil::set_system_time.
BOOL SetSystemTime(const SYSTEMTIME* system_time);
DWORD GetLastError();
void SetLastError(DWORD error);

#endif  // _WIN32
#endif
