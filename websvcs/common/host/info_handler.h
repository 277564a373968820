#ifndef WCOMMON_HOST_INFO_HANDLER_H
#define WCOMMON_HOST_INFO_HANDLER_H

#include "agent/json_rpc/json_rpc_handler.h"

// Answers a request with the description of the machine.
class JSON_RPC_Host_Info_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override;
};

#endif
