// What the host asks of its own process: where its program lives, its
// environment, and how many descriptors it may hold.
#ifndef PLATFORM_PROCESS_ENV_H
#define PLATFORM_PROCESS_ENV_H

#include <cstdint>
#include <string>

namespace platform {

// The full path of the running program; "" when the system cannot tell.
std::string program_path();
// The folder of the running program, without a trailing separator; "" when
// the system cannot tell.
std::string program_folder();

// Sets `name` to `value` (UTF-8) for this process and the programs it
// starts; false when the system refuses.
bool set_environment(const std::string& name, const std::string& value);
// The value of `name` (UTF-8, whatever the system's code page); "" when it
// is not set.
std::string get_environment(const std::string& name);
// The value of `name`, which is then removed from the environment so that
// programs started later do not inherit it; "" when it was not set.
std::string take_environment(const std::string& name);

// How many descriptors (files and sockets together) the process may have
// open; 0 when there is no such limit or it cannot be read.
std::uint64_t descriptor_limit();

}  // namespace platform

#endif
