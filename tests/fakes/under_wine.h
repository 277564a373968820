// Whether the test runs under wine, for the few things wine does not do as
// Windows does.
#ifndef TESTS_FAKES_UNDER_WINE_H
#define TESTS_FAKES_UNDER_WINE_H

#ifdef _WIN32
#include <windows.h>
#endif

inline bool under_wine() {
#ifdef _WIN32
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
#else
  return false;
#endif
}

#endif
