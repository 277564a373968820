// Whole files over Windows calls. Windows has no mode bits: who may read a
// file is its folder's ACL, so the modes callers pass are not used here.
#include <windows.h>

#include <cerrno>
#include <string>

#include "agent/platform/file.h"
#include "agent/platform/files.h"
#include "agent/platform/utf.h"
#include "agent/platform/win32_errors.h"

namespace platform {

using win32::fail_with;

namespace {

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

// Others may read, append to, rename or delete a file while we hold it, as
// on POSIX: a rotation or a replace_file must not fail on our account.
const DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The first separator ending a folder that may need making: "d:" and the
// \\server\share of a UNC path are not folders to make.
std::string::size_type first_folder_end(const std::string& path) {
  const auto is_sep = [](char c) { return c == '\\' || c == '/'; };
  std::string::size_type from = 1;
  if (path.size() >= 2 && is_sep(path[0]) && is_sep(path[1])) {
    const std::string::size_type server_end = path.find_first_of("/\\", 2);
    if (server_end == std::string::npos) return std::string::npos;
    from = path.find_first_of("/\\", server_end + 1);
    if (from == std::string::npos) return std::string::npos;
    ++from;
  } else if (path.size() >= 3 && path[1] == ':' && is_sep(path[2])) {
    from = 3;
  }
  return path.find_first_of("/\\", from);
}

}  // namespace

bool make_executable(const std::string&) { return true; }

bool replace_file(const std::string& path, const std::string& content, int) {
  const std::wstring target = utf8_to_utf16(path);
  const std::wstring temp = utf8_to_utf16(path + ".tmp");
  HANDLE h = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return fail_with(::GetLastError());
  bool ok = write_all(h, content) && ::FlushFileBuffers(h);
  DWORD error = ::GetLastError();
  ::CloseHandle(h);
  // WRITE_THROUGH: the call returns once the rename is on disk, as the
  // folder's fsync makes sure on POSIX.
  if (ok && ::MoveFileExW(temp.c_str(), target.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  if (ok) error = ::GetLastError();
  ::DeleteFileW(temp.c_str());
  return fail_with(error);
}

bool file_permissions(const std::string& path, int& mode) {
  if (::GetFileAttributesW(utf8_to_utf16(path).c_str()) == INVALID_FILE_ATTRIBUTES)
    return fail_with(::GetLastError());
  mode = 0600;
  return true;
}

bool remove_file(const std::string& path) {
  return ::DeleteFileW(utf8_to_utf16(path).c_str()) || fail_with(::GetLastError());
}

// FILE_APPEND_DATA alone makes every write land whole at the end.
bool append_line(const std::string& path, const std::string& line, int) {
  HANDLE h = ::CreateFileW(utf8_to_utf16(path).c_str(), FILE_APPEND_DATA, SHARE_ALL,
                           NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) return fail_with(::GetLastError());
  const bool ok = write_all(h, line);
  const DWORD error = ::GetLastError();
  ::CloseHandle(h);
  return ok || fail_with(error);
}

bool make_folders(const std::string& path, int) {
  const auto make = [](const std::string& folder) {
    // A drive or its root is no folder to make.
    return folder.empty() || ((folder.size() == 2 || folder.size() == 3) && folder[1] == ':') ||
           ::CreateDirectoryW(utf8_to_utf16(folder).c_str(), NULL) ||
           ::GetLastError() == ERROR_ALREADY_EXISTS;
  };
  for (std::string::size_type end = first_folder_end(path); end != std::string::npos;
       end = path.find_first_of("/\\", end + 1))
    if (!make(path.substr(0, end))) return fail_with(::GetLastError());
  if (!make(path)) return fail_with(::GetLastError());
  const DWORD attributes = ::GetFileAttributesW(utf8_to_utf16(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return true;
  errno = attributes == INVALID_FILE_ATTRIBUTES ? ENOENT : ENOTDIR;
  return false;
}

}  // namespace platform
