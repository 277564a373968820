#include "agent/json_rpc/json_rpc_object.h"

#include <yajl/yajl_gen.h>

#include <charconv>

#include "agent/json_io/yajl_gen.h"

JSON_RPC_Object::~JSON_RPC_Object() {}

bool JSON_RPC_Object::write_text(json_spirit::Text_Out&) const { return false; }

namespace {

// The start of every message as text: {"jsonrpc":"2.0","id":ID
bool open_text(json_spirit::Text_Out& out, const json_spirit::Value* id) {
  out.text.append("{\"jsonrpc\":\"2.0\"");
  if (!id) return true;
  out.text.append(",\"id\":");
  return json_spirit::write_compact(*id, out);
}

bool member_text(json_spirit::Text_Out& out, const char* key,
                 const json_spirit::Value& value) {
  out.text.append(",\"").append(key).append("\":");
  return json_spirit::write_compact(value, out);
}

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

bool JSON_RPC_Request::write_text(json_spirit::Text_Out& out) const {
  if (!open_text(out, type() != JSON_RPC_NOTIFY ? &id : nullptr) ||
      !member_text(out, "method", json_spirit::Value(method)))
    return false;
  if (!params.is_null() && !member_text(out, "params", params)) return false;
  out.text.push_back('}');
  return true;
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

bool JSON_RPC_Response::write_text(json_spirit::Text_Out& out) const {
  if (!open_text(out, &id) || !member_text(out, "result", result)) return false;
  out.text.push_back('}');
  return true;
}

bool JSON_RPC_Response_Error::write_text(json_spirit::Text_Out& out) const {
  if (!open_text(out, &id)) return false;
  out.text.append(",\"error\":{\"code\":");
  char digits[16];
  out.text.append(digits, static_cast<std::size_t>(
                              std::to_chars(digits, digits + sizeof digits, code).ptr - digits));
  if (!member_text(out, "message", json_spirit::Value(message))) return false;
  if (!data.is_null() && !member_text(out, "data", data)) return false;
  out.text.append("}}");
  return true;
}

bool JSON_RPC_Response_Error::generate(yajl_gen_t* g) const {
  open_message(g, id);
  yajl_gen_text(g, "error");
  yajl_gen_map_open(g);
  yajl_gen_text(g, "code");
  yajl_gen_whole(g, code);
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
