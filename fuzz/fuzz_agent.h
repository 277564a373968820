// The agent as the host sets it up, for the fuzz harnesses: every binding
// of etc/wagent.conf loaded from this build's module, in a throwaway
// $APPDATA, logging to /dev/null. Clock and power stay in dry-run, and the
// process can neither start a program nor open a connection, so no input
// can touch the machine or the network (system.execute is bound too).
#ifndef FUZZ_FUZZ_AGENT_H
#define FUZZ_FUZZ_AGENT_H

#include "agent/wagent/services.h"

namespace fuzz {

// Made on first use, kept for the life of the process.
wagent::Services& agent_services();

// The session key etc/wagent.conf defines.
extern const char demo_session[];

}  // namespace fuzz

#endif
