#include <windows.h>

#include <cstdlib>
#include <vector>

#include "agent/platform/process_env.h"
#include "agent/platform/utf.h"

namespace platform {

std::string program_path() {
  // The path may exceed MAX_PATH: grow until it fits.
  std::vector<wchar_t> path(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(NULL, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::string();
    if (n < path.size()) return utf16_to_utf8(path.data(), n);
    if (path.size() >= 32768) return std::string();
    path.resize(path.size() * 2);
  }
}

std::string program_folder() {
  const std::string path = program_path();
  const std::string::size_type separator = path.find_last_of("\\/");
  return separator == std::string::npos ? std::string() : path.substr(0, separator);
}

// _wputenv_s changes the C runtime's copy, which getenv reads, and the
// system's, which CreateProcessW hands on. An empty value would remove the
// name there, so it is refused.
bool set_environment(const std::string& name, const std::string& value) {
  if (value.empty()) return false;
  return ::_wputenv_s(utf8_to_utf16(name).c_str(), utf8_to_utf16(value).c_str()) == 0;
}

std::string get_environment(const std::string& name) {
  const wchar_t* value = ::_wgetenv(utf8_to_utf16(name).c_str());
  return value ? utf16_to_utf8(value) : std::string();
}

std::string take_environment(const std::string& name) {
  std::string taken = get_environment(name);
  ::_wputenv_s(utf8_to_utf16(name).c_str(), L"");
  return taken;
}

// Sockets and handles have no fixed per-process count on Windows.
std::uint64_t descriptor_limit() { return 0; }

}  // namespace platform
