// What the event-log handlers share: the request's start and the
// connection to the job event log.
#ifndef WCOMMON_JOB_EVENT_LOG_CONNECTION_H
#define WCOMMON_JOB_EVENT_LOG_CONNECTION_H

#include "agent/job/job_event_log.h"
#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/json_rpc/json_rpc_object.h"

#define WCOMMON_EVENT_LOG_REQUEST(object, channel, requester, sent) \
  wcommon::event_log_request(object, channel, requester, sent, __FILE__, __LINE__)

namespace wcommon {

// Takes the request when its params are an object; otherwise `sent` holds
// what answering (or not answering) it gave, and the result is null. Log
// lines name `file` and `line`.
JSON_RPC_Request* event_log_request(const JSON_RPC_Object_Ptr& object,
                                    const JSON_RPC_Channel_WPtr& channel,
                                    JSON_RPC_Channel_Ptr& requester, int& sent,
                                    const char* file, int line);

// Connects `log`; false after the request was answered with the error
// (`sent` holds the send's result).
bool open_event_log(Job_Event_Log& log, JSON_RPC_Channel& requester,
                    const JSON_RPC_Request& request, int& sent);

}  // namespace wcommon

#endif
