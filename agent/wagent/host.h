// The reference agent host: reads its configuration, prepares the agent's
// folders and settings, loads the services, listens, and stops cleanly on
// SIGINT or SIGTERM.
#ifndef WAGENT_HOST_H
#define WAGENT_HOST_H

namespace wagent {

// Runs the host; returns the process exit code. `program` is argv[0], used
// to find the module libraries next to the executable.
int run_host(int argc, char* argv[]);

}  // namespace wagent

#endif
