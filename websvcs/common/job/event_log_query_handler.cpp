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

// Rows read before anything is sent: a query that fails within them (any
// query of a run of ordinary length) is still answered with the error.
const std::size_t read_ahead_bytes = 64 * 1024;
// Rows pass to the generator in runs of about this much text, so that the
// channel takes them in large blocks.
const std::size_t run_bytes = 32 * 1024;

// The response, written as the rows come from the cursor: each row's text
// goes into the reply as the cursor wrote it, with no value built for it.
// The channel takes it over, so to a requester that reads slowly it goes
// out as the socket drains, without holding a thread; it holds the cursor
// and its connection until then.
class Event_Log_Reply : public JSON_Step_Generator {
 public:
  explicit Event_Log_Reply(const json_spirit::Value& id) : id_(id) {}

  // Reads rows until `bytes` of their text are held or none is left;
  // false when reading failed.
  bool read_ahead(std::size_t bytes) {
    text_.reserve(bytes + 1024);
    return read_run(bytes);
  }

  // A failure past the rows read ahead cuts the reply: part of it may be
  // out already.
  Step generate_step(yajl_gen_t* g) override {
    if (!started_) {
      started_ = true;
      yajl_gen_map_open(g);
      yajl_gen_text(g, "jsonrpc");
      yajl_gen_text(g, "2.0");
      yajl_gen_text(g, "id");
      json_spirit::yajl_gen_value(g, id_);
      yajl_gen_text(g, "result");
      yajl_gen_array_open(g);
    }
    for (;;) {
      // Several rows go in as one verbatim value: the generator puts the
      // comma before the run, and the run has its own between its rows.
      if (!text_.empty()) yajl_gen_verbatim(g, text_.data(), text_.size());
      text_.clear();
      if (done_) break;
      // A requester gone mid-reply stops the reading.
      if (output_failed()) return FAILED;
      if (output_backlogged()) return MORE;
      if (!read_run(run_bytes)) return FAILED;
    }
    yajl_gen_array_close(g);
    return yajl_gen_map_close(g) == yajl_gen_status_ok ? DONE : FAILED;
  }

  Job_Event_Rows rows;

 private:
  // Appends rows to text_, comma-separated, until it holds `bytes` or none
  // is left; false when reading failed.
  bool read_run(std::size_t bytes) {
    while (text_.size() < bytes) {
      const std::size_t before = text_.size();
      if (before) text_.push_back(',');
      switch (rows.next(text_)) {
        case Job_Event_Rows::Next::ROW: break;
        case Job_Event_Rows::Next::END:
          text_.resize(before);  // without the comma put before it
          done_ = true;
          return true;
        default: return false;
      }
    }
    return true;
  }

  json_spirit::Value id_;
  std::string text_;  // rows read, not yet passed on
  bool started_ = false;
  bool done_ = false;
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
  switch (log.query(query, reply->rows)) {
    case Job_Event_Log::QUERY_DONE:
      try {
        fetched = reply->read_ahead(read_ahead_bytes);
      } catch (const std::bad_alloc&) {
        return wcommon::send_out_of_memory(*requester, request->id);
      }
      break;
    case Job_Event_Log::QUERY_NO_FILTER:
      return wcommon::send_error(*requester, -32603, request->id, "Failed to make filter");
    default:
      break;
  }
  if (!fetched)
    return wcommon::send_error(*requester, -32603, request->id, "Failed to fetch event logs");
  return requester->send_generator(std::move(reply));
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Event_Log_Query_Handler)
