#include "agent/json_rpc/json_rpc_object.h"

#include <yajl/yajl_gen.h>

#include "agent/mdrt/yajl_gen.h"

JSON_RPC_Object::~JSON_RPC_Object() {}

namespace {

bool open_message(yajl_gen g, const json_spirit::Value& id) {
  yajl_gen_map_open(g);
  yajl_gen_text(g, "jsonrpc");
  yajl_gen_text(g, "2.0");
  yajl_gen_text(g, "id");
  return json_spirit::yajl_gen_value(g, id) == yajl_gen_status_ok;
}

}  // namespace

bool JSON_RPC_Request::generate(yajl_gen_t* g) const {
  yajl_gen_map_open(g);
  yajl_gen_text(g, "jsonrpc");
  yajl_gen_text(g, "2.0");
  if (type() != JSON_RPC_NOTIFY) {
    yajl_gen_text(g, "id");
    json_spirit::yajl_gen_value(g, id);
  }
  yajl_gen_text(g, "method");
  yajl_gen_text(g, method);
  if (!params.is_null()) {
    yajl_gen_text(g, "params");
    json_spirit::yajl_gen_value(g, params);
  }
  return yajl_gen_map_close(g) == yajl_gen_status_ok;
}

JSON_RPC_Response::JSON_RPC_Response(const JSON_RPC_Request* request)
    : JSON_RPC_Object(JSON_RPC_RESPONSE) {
  if (request) id = request->id;
}

bool JSON_RPC_Response::generate(yajl_gen_t* g) const {
  open_message(g, id);
  yajl_gen_text(g, "result");
  json_spirit::yajl_gen_value(g, result);
  return yajl_gen_map_close(g) == yajl_gen_status_ok;
}

bool JSON_RPC_Response_Error::generate(yajl_gen_t* g) const {
  open_message(g, id);
  yajl_gen_text(g, "error");
  yajl_gen_map_open(g);
  yajl_gen_text(g, "code");
  yajl_gen_integer(g, code);
  yajl_gen_text(g, "message");
  yajl_gen_text(g, message);
  if (!data.is_null()) {
    yajl_gen_text(g, "data");
    json_spirit::yajl_gen_value(g, data);
  }
  yajl_gen_map_close(g);
  return yajl_gen_map_close(g) == yajl_gen_status_ok;
}

const char* json_rpc_error_text(int code) {
  switch (code) {
    case -32700: return "Parse error";
    case -32600: return "Invalid Request";
    case -32601: return "Method not found";
    case -32602: return "Invalid params";
    case -32603: return "Internal error";
  }
  if (code >= -32099 && code <= -32000) return "Server error";
  return "Unknown error";
}
