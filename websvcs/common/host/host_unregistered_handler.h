#ifndef WCOMMON_HOST_UNREGISTERED_HANDLER_H
#define WCOMMON_HOST_UNREGISTERED_HANDLER_H

#include "agent/json_rpc/json_rpc_handler.h"

// The management server dropped the agent: its access key goes. Any kind
// of object with any params does it, and nothing is answered.
class JSON_RPC_Host_Unregistered_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override;
};

#endif
