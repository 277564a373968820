// What the agent process holds of the machine, for its metrics.
#ifndef PLATFORM_PROCESS_STATS_H
#define PLATFORM_PROCESS_STATS_H

#include <cstdint>

namespace platform {

// Bytes of the process's memory resident now; false when unknown.
bool resident_memory(std::uint64_t& bytes);
// Descriptors open in the process (on Windows, its handles); false when
// unknown.
bool open_descriptors(std::uint64_t& count);

}  // namespace platform

#endif
