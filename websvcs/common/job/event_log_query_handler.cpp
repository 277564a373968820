#include "websvcs/common/job/event_log_query_handler.h"

#include <cstdint>

#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"
#include "websvcs/common/job/event_log_connection.h"

namespace {

using namespace database::sql;

const Translation value_translations[] = {
    {"instance_id", 11, VT_UUID},
    {"data", 4, VT_JSON_TEXT},
    {nullptr, 0, 0},
};

}  // namespace

int JSON_RPC_Event_Log_Query_Handler::handle_object_i(JSON_RPC_Channel_WPtr channel,
                                                      JSON_RPC_Object_Ptr object) {
  JSON_RPC_Channel_Ptr requester;
  int sent;
  JSON_RPC_Request* request = WCOMMON_EVENT_LOG_REQUEST(object, channel, requester, sent);
  if (!request) return sent;
  const json_spirit::Value& params = request->params;
  std::string instance_id;
  std::int64_t offset = 0, limit = -1, event_id = 0;
  try {
    const json_spirit::Object& p = params.get_obj();
    instance_id = json_spirit::object_get_str_or_throw(p, "instance_id");
    json_spirit::object_get(p, "offset", offset);
    json_spirit::object_get(p, "limit", limit);
    json_spirit::object_get(p, "event_id", event_id);
  } catch (const std::exception&) {
    return wcommon::send_error(*requester, -32602, request->id, "Missing parameter");
  }
  database::sql::Connection_Ptr connection =
      wcommon::event_log_connection(*requester, *request, sent);
  if (!connection.get()) return sent;
  Select_SQL sql("instance", "i");
  sql.join("instance_log", "l", "i.id=l.instance_id").select("event_id,event_time,data");
  Filter_SQL* filter = sql.and_filter();
  if (!filter) return wcommon::send_error(*requester, -32603, request->id, "Failed to make filter");
  filter->add_key_uuid_eq_item("i.uuid", instance_id);
  if (event_id != 0) filter->add_kv_eq_item("event_id", Binding_Value(event_id));
  if (offset != 0) sql.offset(offset);
  if (limit > 0) sql.limit(limit);
  JSON_RPC_Response* response = new (std::nothrow) JSON_RPC_Response(request);
  if (!response) return wcommon::send_out_of_memory(*requester, request->id);
  JSON_RPC_Object_Ptr reply(response);
  Legacy_Cursor cursor(*connection, sql, Legacy_Cursor::MODE_OBJECTS | Legacy_Cursor::MODE_ALL, 0);
  Query_Result_Handler rows(nullptr, value_translations, 4294967295u, 4294967295u);
  cursor.result_handler(&rows);
  if (!cursor.fetch(response->result))
    return wcommon::send_error(*requester, -32603, request->id, "Failed to fetch event logs");
  return requester->send_object(reply);
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Event_Log_Query_Handler)
