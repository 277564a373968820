#ifndef WCOMMON_JOB_EVENT_LOG_QUERY_HANDLER_H
#define WCOMMON_JOB_EVENT_LOG_QUERY_HANDLER_H

#include "agent/json_rpc/json_rpc_handler.h"

// job.event_log.query: the logged events of one run instance, optionally
// of one event id, paged by offset and limit. Runs on a worker thread.
class JSON_RPC_Event_Log_Query_Handler : public JSON_RPC_Thread_Handler {
 public:
  int handle_object_i(JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) override;
};

#endif
