#ifndef WCOMMON_HOST_REGISTERED_HANDLER_H
#define WCOMMON_HOST_REGISTERED_HANDLER_H

#include "agent/json_rpc/json_rpc_handler.h"

// The management server accepted the agent: a notify whose params is the
// access key it hands over.
class JSON_RPC_Host_Registered_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override;
};

#endif
