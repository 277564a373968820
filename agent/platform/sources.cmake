# The platform layer's sources, listed once: libagent builds them in, and the
# Windows cross build makes the layer a library of its own from them.
set(PLATFORM_SOURCES
  platform/calendar.cpp
  platform/file.cpp
  platform/helper_threads.cpp
  platform/net_address.cpp
  platform/platform.cpp
  platform/process_runner.cpp
  platform/reader_parking.cpp
  platform/utf.cpp
)
if(WIN32)
  list(APPEND PLATFORM_SOURCES
    platform/win32_directory_reader.cpp
    platform/win32_file.cpp
    platform/win32_files.cpp
    platform/win32_memory.cpp
    platform/win32_mounts.cpp
    platform/win32_net_interfaces.cpp
    platform/win32_platform.cpp
    platform/win32_process_env.cpp
    platform/win32_process_runner.cpp
    platform/win32_process_stats.cpp
    platform/win32_service_notify.cpp
    platform/win32_stop_request.cpp
    platform/win32_system.cpp
  )
  # WNetRestoreConnectionW and WNetGetConnectionW (mpr), sockets (ws2_32),
  # GetAdaptersAddresses (iphlpapi), the registry (advapi32),
  # GetProcessMemoryInfo (psapi).
  set(PLATFORM_LIBRARIES mpr ws2_32 iphlpapi advapi32 psapi)
  # Windows 7 on.
  set(PLATFORM_DEFINITIONS _WIN32_WINNT=0x0601 WINVER=0x0601)
else()
  list(APPEND PLATFORM_SOURCES
    platform/directory_reader.cpp
    platform/posix_net_interfaces.cpp
    platform/posix_file.cpp
    platform/posix_files.cpp
    platform/posix_memory.cpp
    platform/posix_mounts.cpp
    platform/posix_platform.cpp
    platform/posix_probes.cpp
    platform/posix_process_env.cpp
    platform/posix_process_runner.cpp
    platform/posix_process_stats.cpp
    platform/posix_service_notify.cpp
    platform/posix_stop_request.cpp
    platform/posix_system.cpp
  )
  set(PLATFORM_LIBRARIES)
  set(PLATFORM_DEFINITIONS)
endif()
list(TRANSFORM PLATFORM_SOURCES PREPEND ${CMAKE_CURRENT_LIST_DIR}/../)
