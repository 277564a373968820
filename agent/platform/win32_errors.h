// Windows error codes as errno values, for the Win32 side of the platform
// layer only: callers of the portable functions read errno, where a Windows
// code would be misread.
#ifndef PLATFORM_WIN32_ERRORS_H
#define PLATFORM_WIN32_ERRORS_H

#include <windows.h>

#include <cerrno>

namespace platform {
namespace win32 {

inline int errno_of(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
      return ENOENT;
    case ERROR_DIRECTORY:
      return ENOTDIR;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_EXE_FORMAT:
      return EINVAL;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
      return ETIMEDOUT;
    case ERROR_SHUTDOWN_IN_PROGRESS:
    case ERROR_BUSY:
      return EBUSY;
    default:
      return EIO;
  }
}

// Sets errno from `error`; false, for `return fail_with(...)`.
inline bool fail_with(DWORD error) {
  errno = errno_of(error);
  return false;
}

}  // namespace win32
}  // namespace platform

#endif
