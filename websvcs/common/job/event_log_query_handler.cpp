// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/job/event_log_query_handler.h"

#include <yajl/yajl_gen.h>

#include <memory>
#include <new>
#include <string>

#include "agent/json_io/json_generator.h"
#include "agent/json_io/yajl_gen.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"
#include "websvcs/common/job/event_log_connection.h"

namespace {

// The response: the rows' text as the cursor wrote it, with no value built
// for any row. Every row is read before anything is sent, so a failure on
// any of them is still answered with the error, and the cursor and its
// connection are released before the handler returns; the text takes a
// fraction of what a value tree of the rows took.
class Event_Log_Reply : public JSON_Step_Generator {
 public:
  explicit Event_Log_Reply(const json_spirit::Value& id) : id_(id) {}

  // Reads every row of `rows`; false when reading failed.
  bool read_all(Job_Event_Rows& rows) {
    for (;;) {
      const std::size_t before = text_.size();
      if (before) text_.push_back(',');
      switch (rows.next(text_)) {
        case Job_Event_Rows::Next::ROW: break;
        case Job_Event_Rows::Next::END:
          text_.resize(before);  // without the comma put before it
          return true;
        default: return false;
      }
    }
  }

  Step generate_step(yajl_gen_t* g) override {
    yajl_gen_map_open(g);
    yajl_gen_text(g, "jsonrpc");
    yajl_gen_text(g, "2.0");
    yajl_gen_text(g, "id");
    json_spirit::yajl_gen_value(g, id_);
    yajl_gen_text(g, "result");
    yajl_gen_array_open(g);
    // The rows go in as one verbatim value, with their own commas.
    if (!text_.empty()) yajl_gen_verbatim(g, text_.data(), text_.size());
    yajl_gen_array_close(g);
    return yajl_gen_map_close(g) == yajl_gen_status_ok ? DONE : FAILED;
  }

 private:
  json_spirit::Value id_;
  std::string text_;
};

}  // namespace

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
  std::unique_ptr<Event_Log_Reply> reply(new (std::nothrow) Event_Log_Reply(request->id));
  if (!reply) return wcommon::send_out_of_memory(*requester, request->id);
  bool fetched = false;
  {
    // The cursor goes before the reply is sent; the connection (`log`)
    // when the handler returns.
    Job_Event_Rows rows;
    switch (log.query(query, rows)) {
      case Job_Event_Log::QUERY_DONE:
        try {
          fetched = reply->read_all(rows);
        } catch (const std::bad_alloc&) {
          return wcommon::send_out_of_memory(*requester, request->id);
        }
        break;
      case Job_Event_Log::QUERY_NO_FILTER:
        return wcommon::send_error(*requester, -32603, request->id, "Failed to make filter");
      default:
        break;
    }
  }
  if (!fetched)
    return wcommon::send_error(*requester, -32603, request->id, "Failed to fetch event logs");
  return requester->send_generator(*reply);
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Event_Log_Query_Handler)
