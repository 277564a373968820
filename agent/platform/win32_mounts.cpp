// Which volume holds a path, and the drives there are, on Windows: volumes
// are mounted on drive letters or on folders, and network shares on letters.
#include <windows.h>
#include <winnetwk.h>

#include <cwchar>
#include <string>
#include <vector>

#include "agent/platform/mounts.h"
#include "agent/platform/utf.h"

namespace platform {

bool mount_of(const std::string& path, Mount_Info& out) {
  const std::wstring wide = utf8_to_utf16(path);
  // GetVolumePathNameW answers for paths that do not exist too.
  if (path.empty() || ::GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES)
    return false;
  // The full path first: a relative one would give the current drive's
  // root only by chance.
  std::vector<wchar_t> full(MAX_PATH + 1);
  DWORD n = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), NULL);
  if (n >= full.size()) {
    full.resize(n + 1);
    n = ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), NULL);
  }
  if (n == 0 || n >= full.size()) return false;
  std::vector<wchar_t> root(full.size() + 1);
  if (!::GetVolumePathNameW(full.data(), root.data(), static_cast<DWORD>(root.size())))
    return false;
  wchar_t fs[MAX_PATH + 1] = L"";
  if (!::GetVolumeInformationW(root.data(), NULL, 0, NULL, NULL, NULL, fs, MAX_PATH + 1))
    fs[0] = 0;
  // The source: the volume's own name (\\?\Volume{...}\) for a local one,
  // the share for a mapped drive, the root itself for a UNC path.
  std::string source;
  wchar_t volume[64];
  if (::GetVolumeNameForVolumeMountPointW(root.data(), volume, 64)) {
    source = utf16_to_utf8(volume);
  } else if (root[0] != 0 && root[1] == L':') {
    const wchar_t drive[] = {root[0], L':', 0};
    wchar_t remote[MAX_PATH + 1];
    DWORD size = MAX_PATH + 1;
    if (::WNetGetConnectionW(drive, remote, &size) == NO_ERROR) source = utf16_to_utf8(remote);
  }
  if (source.empty()) source = utf16_to_utf8(root.data());
  out = Mount_Info{source, utf16_to_utf8(root.data()), utf16_to_utf8(fs)};
  return true;
}

std::vector<std::string> list_drives() {
  std::vector<std::string> drives;
  std::vector<wchar_t> buffer(128);
  DWORD n = ::GetLogicalDriveStringsW(static_cast<DWORD>(buffer.size()), buffer.data());
  if (n >= buffer.size()) {
    buffer.resize(n + 1);
    n = ::GetLogicalDriveStringsW(static_cast<DWORD>(buffer.size()), buffer.data());
  }
  if (n == 0 || n >= buffer.size()) return drives;
  // "C:\<0>D:\<0><0>", each root in lower case as the drive table has them.
  for (const wchar_t* root = buffer.data(); *root; root += wcslen(root) + 1) {
    std::string text = utf16_to_utf8(root);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    drives.push_back(text);
  }
  return drives;
}

}  // namespace platform
