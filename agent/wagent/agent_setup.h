// Prepares the agent libraries from the host's settings ($APPDATA and its
// folders, the log, clock and power modes, drives, sessions, the open and
// admin methods, the upstream and the trusted authorities) before any
// service is loaded, so their init sees them.
#ifndef WAGENT_AGENT_SETUP_H
#define WAGENT_AGENT_SETUP_H

#include "agent/wagent/config.h"
#include "agent/wagent/settings.h"

class JSON_RPC_Dispatcher;

namespace wagent {

class File_Log_Backend;

// Throws Config_Error. The fuzz harnesses prepare the agent with it too.
void apply_settings(const Host_Settings& settings, const Config& config,
                    File_Log_Backend& log_file, JSON_RPC_Dispatcher& dispatcher);

}  // namespace wagent

#endif
