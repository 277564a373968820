// The reference agent host: reads its configuration, prepares the agent's
// folders and settings, loads the services, listens, and stops cleanly on
// SIGINT or SIGTERM.
#ifndef WAGENT_HOST_H
#define WAGENT_HOST_H

#include <string>
#include <vector>

class JSON_RPC_Dispatcher;

namespace wagent {

struct Config;
class File_Log_Backend;

// Applies the settings that shape the agent libraries ($APPDATA and its
// folders, clock and power modes, drives, sessions, open methods, log),
// before any service is loaded so their init sees them. Throws
// Config_Error. The fuzz harnesses prepare the agent with it too.
void apply_settings(const Config& config, File_Log_Backend& log_file,
                    JSON_RPC_Dispatcher& dispatcher);

// Runs the host; returns the process exit code. `program` is argv[0], used
// to find the module libraries next to the executable.
int run_host(int argc, char* argv[]);

}  // namespace wagent

#endif
