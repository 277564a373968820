#include "agent/platform/process_stats.h"

#include <windows.h>
#include <psapi.h>

namespace platform {

bool resident_memory(std::uint64_t& bytes) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return false;
  bytes = counters.WorkingSetSize;
  return true;
}

bool open_descriptors(std::uint64_t& count) {
  DWORD handles = 0;
  if (!::GetProcessHandleCount(::GetCurrentProcess(), &handles)) return false;
  count = handles;
  return true;
}

}  // namespace platform
