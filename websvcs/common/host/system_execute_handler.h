#ifndef WCOMMON_HOST_SYSTEM_EXECUTE_HANDLER_H
#define WCOMMON_HOST_SYSTEM_EXECUTE_HANDLER_H

#include "agent/json_rpc/json_rpc_handler.h"

// Runs a command line for the management side, after fetching an
// executable from its server when asked, and waits for it to end. Its
// output and exit code go to the execution log; a request is answered
// whether it ran.
class JSON_RPC_System_Execute_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override;
};

#endif
