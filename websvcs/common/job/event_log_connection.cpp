#include "websvcs/common/job/event_log_connection.h"

#include "websvcs/common/frame/jsonrpc_reply.h"

namespace wcommon {

JSON_RPC_Request* event_log_request(const JSON_RPC_Object_Ptr& object,
                                    const JSON_RPC_Channel_WPtr& channel,
                                    JSON_RPC_Channel_Ptr& requester, int& sent,
                                    const char* file, int line) {
  // The thread handler keeps the channel usable while the work runs; a
  // requester already gone gets nothing.
  JSON_RPC_Request* request = nullptr;
  sent = -1;
  if (!accept_request(object, channel, request, requester, file, line)) return nullptr;
  if (request->params.type() == json_spirit::obj_type) return request;
  sent = send_error(*requester, -32602, request->id,
                    "Invalid params: params type must be object.");
  return nullptr;
}

bool open_event_log(Job_Event_Log& log, JSON_RPC_Channel& requester,
                    const JSON_RPC_Request& request, int& sent) {
  if (log.open()) return true;
  sent = send_error(requester, -32603, request.id,
                    "Internal error: failed to connect to database 'job_event_log'.");
  return false;
}

}  // namespace wcommon
