// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/job/event_log_query_handler.h"

#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"
#include "websvcs/common/job/event_log_connection.h"

int JSON_RPC_Event_Log_Query_Handler::handle_object_i(JSON_RPC_Channel_WPtr channel,
                                                      JSON_RPC_Object_Ptr object) {
  JSON_RPC_Channel_Ptr requester;
  int sent;
  JSON_RPC_Request* request = WCOMMON_EVENT_LOG_REQUEST(object, channel, requester, sent);
  if (!request) return sent;
  Job_Event_Query query;
  try {
    const json_spirit::Object& p = request->params.get_obj();
    query.instance_id = json_spirit::object_get_str_or_throw(p, "instance_id");
    json_spirit::object_get(p, "offset", query.offset);
    json_spirit::object_get(p, "limit", query.limit);
    json_spirit::object_get(p, "event_id", query.event_id);
  } catch (const std::exception&) {
    return wcommon::send_error(*requester, -32602, request->id, "Missing parameter");
  }
  Job_Event_Log log;
  if (!wcommon::open_event_log(log, *requester, *request, sent)) return sent;
  JSON_RPC_Response* response = new (std::nothrow) JSON_RPC_Response(request);
  if (!response) return wcommon::send_out_of_memory(*requester, request->id);
  JSON_RPC_Object_Ptr reply(response);
  switch (log.query(query, response->result)) {
    case Job_Event_Log::QUERY_DONE: return requester->send_object(reply);
    case Job_Event_Log::QUERY_NO_FILTER:
      return wcommon::send_error(*requester, -32603, request->id, "Failed to make filter");
    default:
      return wcommon::send_error(*requester, -32603, request->id, "Failed to fetch event logs");
  }
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Event_Log_Query_Handler)
