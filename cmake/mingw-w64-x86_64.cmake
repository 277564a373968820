# Cross build for 64-bit Windows with Debian's mingw-w64 (POSIX threads, so
# std::thread and std::mutex work).
#
# WIN64_DEPS_PREFIX (a cache variable or the environment) names the prefix
# that scripts/win64-deps.sh builds the third-party libraries into; it is
# searched before the toolchain's own root (zlib lives there).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT WIN64_DEPS_PREFIX AND DEFINED ENV{WIN64_DEPS_PREFIX})
  set(WIN64_DEPS_PREFIX "$ENV{WIN64_DEPS_PREFIX}")
endif()
# try_compile projects read this file again; hand the prefix on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WIN64_DEPS_PREFIX)

set(CMAKE_FIND_ROOT_PATH ${WIN64_DEPS_PREFIX} /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs and try_run run under wine; Debian's wine64 package keeps
# its loader out of PATH.
find_program(WIN64_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(WIN64_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WIN64_WINE})
endif()
