// One open file over Windows handles. Handles are not inherited unless asked
// for, so nothing is needed for that here.
#include <windows.h>

#include <cerrno>

#include "agent/platform/file.h"
#include "agent/platform/utf.h"
#include "agent/platform/win32_errors.h"

namespace platform {

using win32::fail_with;

namespace {

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Others may read, write, rename or delete the file while we hold it, as on
// POSIX: a rotation must not fail on our account.
const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// At most this much a ReadFile or WriteFile call.
const std::size_t CHUNK = 0x40000000;

DWORD chunk(std::size_t size) { return static_cast<DWORD>(size > CHUNK ? CHUNK : size); }

OVERLAPPED at_offset(std::uint64_t offset) {
  OVERLAPPED o = {};
  o.Offset = static_cast<DWORD>(offset);
  o.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return o;
}

// Writes all of `data`, each piece at `*offset` (moved past it) or, without
// one, at the current position; an offset of all ones writes at the end.
bool write_all(HANDLE h, const char* data, std::size_t size, std::uint64_t* offset) {
  while (size > 0) {
    DWORD n = 0;
    OVERLAPPED o = offset ? at_offset(*offset) : OVERLAPPED{};
    if (!::WriteFile(h, data, chunk(size), &n, offset ? &o : NULL))
      return fail_with(::GetLastError());
    if (n == 0) {
      errno = EIO;
      return false;
    }
    data += n;
    size -= n;
    if (offset && *offset != ~std::uint64_t(0)) *offset += n;
  }
  return true;
}

}  // namespace

void File::close() {
  if (handle_ == CLOSED) return;
  const int error = errno;
  ::CloseHandle(handle_of(handle_));
  handle_ = CLOSED;
  errno = error;
}

// APPEND keeps full write access, which truncate needs; its writes ask for
// the end of the file each time, as FILE_APPEND_DATA alone would.
bool File::open(const std::string& path, unsigned access, int) {
  close();
  DWORD rights = 0;
  if (access & READ) rights |= GENERIC_READ;
  if (access & (WRITE | APPEND)) rights |= GENERIC_WRITE;
  HANDLE h = ::CreateFileW(utf8_to_utf16(path).c_str(), rights, SHARE_ALL, NULL,
                           (access & CREATE) ? OPEN_ALWAYS : OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return fail_with(::GetLastError());
  handle_ = reinterpret_cast<std::intptr_t>(h);
  append_ = (access & APPEND) != 0;
  return true;
}

// Disk files only: a pipe or a device would hold the reader. Device paths
// (\\.\...) and folders are refused before anything is opened; a name that
// still turns out not to be a disk file (NUL, COM1) is closed unread.
bool File::open_regular(const std::string& path) {
  close();
  if (path.compare(0, 4, "\\\\.\\") == 0 || path.compare(0, 4, "//./") == 0) {
    errno = EINVAL;
    return false;
  }
  const std::wstring wide = utf8_to_utf16(path);
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = EINVAL;
    return false;
  }
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ, SHARE_ALL, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return fail_with(::GetLastError());
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    ::CloseHandle(h);
    errno = EINVAL;
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(h);
  append_ = false;
  return true;
}

long File::read(void* buffer, std::size_t size) {
  DWORD n = 0;
  if (!::ReadFile(handle_of(handle_), buffer, chunk(size), &n, NULL)) {
    if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
    fail_with(::GetLastError());
    return -1;
  }
  return static_cast<long>(n);
}

long File::read_at(void* buffer, std::size_t size, std::uint64_t offset) {
  DWORD n = 0;
  OVERLAPPED o = at_offset(offset);
  if (!::ReadFile(handle_of(handle_), buffer, chunk(size), &n, &o)) {
    // Past the end reads as the end, as pread has it.
    if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
    fail_with(::GetLastError());
    return -1;
  }
  return static_cast<long>(n);
}

bool File::write(const void* data, std::size_t size) {
  std::uint64_t end = ~std::uint64_t(0);
  return write_all(handle_of(handle_), static_cast<const char*>(data), size,
                   append_ ? &end : nullptr);
}

bool File::write_at(const void* data, std::size_t size, std::uint64_t offset) {
  return write_all(handle_of(handle_), static_cast<const char*>(data), size, &offset);
}

bool File::rewind() {
  LARGE_INTEGER zero = {};
  return ::SetFilePointerEx(handle_of(handle_), zero, NULL, FILE_BEGIN) ||
         fail_with(::GetLastError());
}

bool File::size(std::uint64_t& bytes) const {
  LARGE_INTEGER value;
  if (!::GetFileSizeEx(handle_of(handle_), &value)) return fail_with(::GetLastError());
  bytes = static_cast<std::uint64_t>(value.QuadPart);
  return true;
}

// The current position stays where it was, as ftruncate leaves it.
bool File::truncate(std::uint64_t bytes) {
  FILE_END_OF_FILE_INFO info;
  info.EndOfFile.QuadPart = static_cast<LONGLONG>(bytes);
  return ::SetFileInformationByHandle(handle_of(handle_), FileEndOfFileInfo, &info,
                                      sizeof info) ||
         fail_with(::GetLastError());
}

bool File::sync_data() {
  return ::FlushFileBuffers(handle_of(handle_)) || fail_with(::GetLastError());
}

}  // namespace platform
