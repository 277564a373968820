// The machine as a whole on Windows: its description and uptime. Its clock
// and power go through Win32_Platform_API (win32_platform.cpp).
#include <winsock2.h>  // before windows.h, whose old winsock clashes with it
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "agent/platform/platform.h"
#include "agent/platform/utf.h"

namespace {

// RtlGetVersion tells the version as it is; GetVersionEx lies to programs
// without a manifest naming the newest Windows.
typedef LONG(WINAPI* Rtl_Get_Version)(OSVERSIONINFOW*);

bool real_version(OSVERSIONINFOW& out) {
  out = OSVERSIONINFOW();
  out.dwOSVersionInfoSize = sizeof out;
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return false;
  const auto get = reinterpret_cast<Rtl_Get_Version>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
  return get && get(&out) == 0;
}

// A string value under HKLM; "" when there is none.
std::string machine_string(const wchar_t* key, const wchar_t* name) {
  wchar_t buffer[256];
  DWORD size = sizeof buffer;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_SZ, NULL, buffer,
                     &size) != ERROR_SUCCESS)
    return std::string();
  return utf16_to_utf8(buffer, size / sizeof(wchar_t));
}

const char* machine_of(WORD architecture) {
  switch (architecture) {
    case PROCESSOR_ARCHITECTURE_AMD64: return "x86_64";
    case PROCESSOR_ARCHITECTURE_INTEL: return "i686";
#ifdef PROCESSOR_ARCHITECTURE_ARM64
    case PROCESSOR_ARCHITECTURE_ARM64: return "aarch64";
#endif
    case PROCESSOR_ARCHITECTURE_ARM: return "arm";
  }
  return "";
}

}  // namespace

namespace platform {

bool describe_system(System_Description& out) {
  // The DNS host name, as uname's nodename is; the NetBIOS name (upper case,
  // 15 characters) only when there is none.
  std::vector<wchar_t> name(256);
  DWORD size = static_cast<DWORD>(name.size());
  if (!::GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size)) {
    if (::GetLastError() != ERROR_MORE_DATA) return false;
    name.resize(size + 1);
    if (!::GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size))
      return false;
  }
  out.nodename = utf16_to_utf8(name.data(), size);
  if (out.nodename.empty()) {
    wchar_t netbios[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(netbios, &length)) return false;
    out.nodename = utf16_to_utf8(netbios, length);
  }
  out.sysname = "Windows";
  OSVERSIONINFOW v;
  if (real_version(v)) {
    char text[64];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu",
                  static_cast<unsigned long>(v.dwMajorVersion),
                  static_cast<unsigned long>(v.dwMinorVersion),
                  static_cast<unsigned long>(v.dwBuildNumber));
    out.release = text;
    // The service pack, where there is one ("Service Pack 1").
    out.version = utf16_to_utf8(v.szCSDVersion, sizeof v.szCSDVersion / sizeof(wchar_t));
  }
  // The name the system gives itself ("Windows 10 Pro"), as os-release's
  // pretty name is on Linux.
  out.os = machine_string(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"ProductName");
  SYSTEM_INFO si;
  ::GetNativeSystemInfo(&si);
  out.cpus = static_cast<long>(si.dwNumberOfProcessors);
  out.machine = machine_of(si.wProcessorArchitecture);
  MEMORYSTATUSEX memory;
  memory.dwLength = sizeof memory;
  out.memory = ::GlobalMemoryStatusEx(&memory) ? memory.ullTotalPhys : 0;
  return true;
}

std::int64_t uptime_seconds() {
  return static_cast<std::int64_t>(::GetTickCount64() / 1000);
}

}  // namespace platform
