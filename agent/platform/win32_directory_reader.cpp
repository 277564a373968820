// Directory_Reader on Windows: FindFirstFileExW and FindNextFileW, one entry
// at a time. The listing itself carries each entry's kind, size and times,
// so there is nothing to stat, and the system fetches it in large pieces:
// READ_AHEAD changes nothing here.
#include "agent/platform/directory_reader.h"

#include <winsock2.h>  // before windows.h, whose old winsock clashes with it
#include <windows.h>
#include <winioctl.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <vector>

#include "agent/platform/platform.h"
#include "agent/platform/utf.h"
#include "agent/platform/win32_errors.h"

namespace {

// A search under way: the handle, and the entry FindFirstFileExW already
// gave and read() has not yet handed out.
struct Find_State {
  std::wstring folder;  // ends with a separator
  HANDLE handle = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data;
  bool pending = false;
  std::int64_t index = 0;  // entries taken from the search so far
};

Find_State* S(void* p) { return static_cast<Find_State*>(p); }

// The reparse-point data FSCTL_GET_REPARSE_POINT gives for symbolic links
// and junctions; the Windows SDK keeps it in a driver-kit header.
struct Reparse_Data {
  ULONG tag;
  USHORT data_length;
  USHORT reserved;
  USHORT substitute_offset;
  USHORT substitute_length;
  USHORT print_offset;
  USHORT print_length;
  // A symbolic link has flags here (relative or not); a junction does not.
  union {
    struct {
      ULONG flags;
      WCHAR path[1];
    } link;
    struct {
      WCHAR path[1];
    } junction;
  };
};

bool is_link_tag(DWORD tag) {
  return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT;
}

// Where the link at `path` points, as it was written (relative ones stay
// relative, as readlink gives them): its print name, else its substitute
// name without the \??\ prefix. "" when it cannot be read.
std::string link_target(const std::wstring& path) {
  HANDLE h = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (h == INVALID_HANDLE_VALUE) return std::string();
  std::vector<unsigned char> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD size = 0;
  const BOOL ok = ::DeviceIoControl(h, FSCTL_GET_REPARSE_POINT, NULL, 0, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), &size, NULL);
  ::CloseHandle(h);
  if (!ok || size < offsetof(Reparse_Data, link)) return std::string();
  const Reparse_Data& r = *reinterpret_cast<const Reparse_Data*>(buffer.data());
  const WCHAR* names;
  if (r.tag == IO_REPARSE_TAG_SYMLINK)
    names = r.link.path;
  else if (r.tag == IO_REPARSE_TAG_MOUNT_POINT)
    names = r.junction.path;
  else
    return std::string();
  const auto name = [&](USHORT offset, USHORT length) {
    const auto* start = reinterpret_cast<const unsigned char*>(names) + offset;
    if (start + length > buffer.data() + size) return std::wstring();
    return std::wstring(reinterpret_cast<const WCHAR*>(start), length / sizeof(WCHAR));
  };
  std::wstring target = name(r.print_offset, r.print_length);
  if (target.empty()) {
    target = name(r.substitute_offset, r.substitute_length);
    if (target.compare(0, 4, L"\\??\\") == 0) target.erase(0, 4);
  }
  return utf16_to_utf8(target.c_str(), target.size());
}

// POSIX seconds of a FILETIME, rounded down.
std::int64_t posix_seconds(const FILETIME& t) {
  const std::int64_t ticks = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  return ticks / 10000000 - 11644473600LL;
}

}  // namespace

Directory_Reader::Directory_Reader()
    : dir_(nullptr), skip_dots_(false), flags_(0), error_(0), read_here_count_(0) {}

Directory_Reader::~Directory_Reader() { close(); }

bool Directory_Reader::open(const char* path, bool skip_dots, unsigned flags) {
  close();
  error_ = 0;
  if (!path || !*path) {
    errno = error_ = ENOENT;
    return false;
  }
  // Drive letters are the system's own: the path comes back as it is.
  const std::string resolved = platform::resolve_path(path);
  std::wstring folder = utf8_to_utf16(resolved);
  // Looked at first: a search in a missing folder or a file fails with
  // codes that also mean an empty one.
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    platform::win32::fail_with(::GetLastError());
    error_ = errno;
    return false;
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = error_ = ENOTDIR;
    return false;
  }
  if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
  Find_State* s = new Find_State;
  s->folder = folder;
  s->handle = ::FindFirstFileExW((folder + L"*").c_str(), FindExInfoBasic, &s->data,
                                 FindExSearchNameMatch, NULL, FIND_FIRST_EX_LARGE_FETCH);
  if (s->handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A drive's root has no "." and "..": an empty one has no entry at all.
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES) {
      delete s;
      platform::win32::fail_with(error);
      error_ = errno;
      return false;
    }
  } else {
    s->pending = true;
  }
  dir_ = s;
  skip_dots_ = skip_dots;
  flags_ = flags;
  has_deadline_ = false;
  return true;
}

bool Directory_Reader::read(Directory_Entry_T<char>& entry) { return read_here(entry, error_); }

bool Directory_Reader::identity(Identity& id) const {
  Find_State* s = S(dir_);
  if (!s) {
    errno = EBADF;
    return false;
  }
  HANDLE h = ::CreateFileW(s->folder.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    platform::win32::fail_with(::GetLastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO basic;
  const bool ok = ::GetFileInformationByHandle(h, &info) &&
                  ::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic);
  const DWORD error = ::GetLastError();
  ::CloseHandle(h);
  if (!ok) {
    platform::win32::fail_with(error);
    return false;
  }
  id.device = info.dwVolumeSerialNumber;
  id.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  // 100 ns ticks, compared only with each other.
  id.modified_ns = basic.LastWriteTime.QuadPart;
  id.changed_ns = basic.ChangeTime.QuadPart;
  return true;
}

// The search has no seek: it starts over and passes `position` entries.
bool Directory_Reader::resume(std::int64_t position,
                              const std::function<bool(const std::string&)>& is_entry,
                              unsigned) {
  Find_State* s = S(dir_);
  if (!s || s->index != 0) {
    errno = error_ = EINVAL;
    return false;
  }
  const bool skip_dots = skip_dots_;
  skip_dots_ = false;
  Directory_Entry_T<char> entry;
  int error = 0;
  bool found = false;
  while (read_here(entry, error)) {
    if (entry.position < position) continue;
    found = entry.position == position && is_entry(entry.name);
    break;
  }
  skip_dots_ = skip_dots;
  if (!found) {
    errno = error_ = ESTALE;
    return false;
  }
  error_ = 0;
  return true;
}

bool Directory_Reader::read_here(Directory_Entry_T<char>& entry, int& error) {
  Find_State* s = S(dir_);
  if (!s) {
    errno = error = EBADF;
    return false;
  }
  for (;;) {
    if (!s->pending) {
      if (s->handle == INVALID_HANDLE_VALUE || !::FindNextFileW(s->handle, &s->data)) {
        const DWORD code = s->handle == INVALID_HANDLE_VALUE ? ERROR_NO_MORE_FILES
                                                             : ::GetLastError();
        error = code == ERROR_NO_MORE_FILES ? 0 : platform::win32::errno_of(code);
        errno = error;
        return false;
      }
    }
    s->pending = false;
    const std::int64_t at = s->index++;
    const WIN32_FIND_DATAW& d = s->data;
    const wchar_t* n = d.cFileName;
    if (skip_dots_ && n[0] == L'.' && (!n[1] || (n[1] == L'.' && !n[2]))) continue;

    entry.position = at;
    entry.name = utf16_to_utf8(n);
    // dwReserved0 holds the reparse tag of a reparse point. Symbolic links
    // and junctions are links; other reparse points (deduplicated or cloud
    // files) are the files or folders they stand for.
    const bool link = (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                      is_link_tag(d.dwReserved0);
    entry.mode = link ? S_IFLNK
                 : (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? S_IFDIR
                                                                  : S_IFREG;
    entry.has_stat = false;
    entry.size = 0;
    entry.mtime = 0;
    entry.target.clear();
    if (flags_ & WITH_STAT) {
      // Permission bits as the C runtime makes them up: readable by all,
      // writable unless read-only, folders searchable.
      entry.mode |= 0444;
      if (!(d.dwFileAttributes & FILE_ATTRIBUTE_READONLY)) entry.mode |= 0200;
      if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) entry.mode |= 0111;
      entry.has_stat = true;
      entry.size = (static_cast<std::uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
      entry.mtime = posix_seconds(d.ftLastWriteTime);
      if (link) entry.target = link_target(s->folder + n);
    }
    error = 0;
    return true;
  }
}

// The listing always says what each entry is.
void Directory_Reader::report_types_unknown(bool) {}

void Directory_Reader::close() {
  Find_State* s = S(dir_);
  if (s) {
    if (s->handle != INVALID_HANDLE_VALUE) ::FindClose(s->handle);
    delete s;
  }
  dir_ = nullptr;
  read_here_count_ = 0;
}
