// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/job/event_log_delete_handler.h"

#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"
#include "websvcs/common/job/event_log_connection.h"

int JSON_RPC_Event_Log_Delete_Handler::handle_object_i(JSON_RPC_Channel_WPtr channel,
                                                       JSON_RPC_Object_Ptr object) {
  JSON_RPC_Channel_Ptr requester;
  int sent;
  JSON_RPC_Request* request = WCOMMON_EVENT_LOG_REQUEST(object, channel, requester, sent);
  if (!request) return sent;
  const json_spirit::Value& params = request->params;
  const std::string* instance_id = json_spirit::object_get_str(params, "instance_id");
  if (!instance_id || instance_id->empty())
    return wcommon::send_error(*requester, -32602, request->id, "Missing 'instance_id'");
  Job_Event_Log log;
  if (!wcommon::open_event_log(log, *requester, *request, sent)) return sent;
  JSON_RPC_Response* response = new (std::nothrow) JSON_RPC_Response(request);
  if (!response) return wcommon::send_out_of_memory(*requester, request->id);
  JSON_RPC_Object_Ptr reply(response);
  response->result = log.remove(*instance_id);
  return requester->send_object(reply);
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Event_Log_Delete_Handler)
