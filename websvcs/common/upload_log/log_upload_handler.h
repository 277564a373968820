#ifndef WCOMMON_UPLOAD_LOG_LOG_UPLOAD_HANDLER_H
#define WCOMMON_UPLOAD_LOG_LOG_UPLOAD_HANDLER_H

#include "agent/json_rpc/json_rpc_handler.h"

// log.upload: a notify naming a task and a component starts one detached
// worker, which sends that component's logs to the management server (or to
// the private storage the notify describes) and reports the outcome with a
// "log.upload.notify" on the agent's global channel, each file listed with
// the length, SHA-256 and status of what was sent.
class JSON_RPC_Log_Upload_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override;
};

#endif
