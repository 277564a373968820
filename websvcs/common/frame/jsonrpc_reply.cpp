#include "websvcs/common/frame/jsonrpc_reply.h"

#include <cerrno>
#include <new>

namespace wcommon {

namespace {
JSON_RPC_Request* of_kind(const JSON_RPC_Object_Ptr& object, int kind) {
  JSON_RPC_Object* o = object.get();
  if (!o || o->type() != kind) return nullptr;
  return dynamic_cast<JSON_RPC_Request*>(o);
}
}  // namespace

JSON_RPC_Request* as_request(const JSON_RPC_Object_Ptr& object) {
  return of_kind(object, JSON_RPC_Object::JSON_RPC_REQUEST);
}

JSON_RPC_Request* as_notify(const JSON_RPC_Object_Ptr& object) {
  return of_kind(object, JSON_RPC_Object::JSON_RPC_NOTIFY);
}

JSON_RPC_Request* as_request_or_notify(const JSON_RPC_Object_Ptr& object) {
  JSON_RPC_Request* r = as_request(object);
  return r ? r : as_notify(object);
}

const char NOT_REQUEST[] =
    "Unexpected error in %N:%l, obj is not JSON-RPC request!\n";
const char NOT_NOTIFY[] =
    "Unexpected error in %N:%l, obj is not JSON-RPC notify!\n";
const char NOT_REQUEST_OR_NOTIFY[] =
    "Unexpected error in %N:%l, obj is neither JSON-RPC request nor notify!\n";
const char REQUESTER_GONE[] =
    "Abort handling JSON-RPC request, requester has gone.\n";

void log_at(const char* file, int line, ACE_Log_Priority priority,
            const char* format) {
  ACE_Log_Msg* log = ACE_Log_Msg::instance();
  log->conditional_set(file, line, -1, errno);
  log->log(priority, format);
}

bool accept_kind(const JSON_RPC_Object_Ptr& object, Kind kind,
                 JSON_RPC_Request*& request, const char* file, int line) {
  static const char* const not_kind[] = {NOT_REQUEST, NOT_NOTIFY,
                                         NOT_REQUEST_OR_NOTIFY};
  request = kind == REQUEST_KIND  ? as_request(object)
            : kind == NOTIFY_KIND ? as_notify(object)
                                  : as_request_or_notify(object);
  if (request) return true;
  log_at(file, line, LM_EMERGENCY, not_kind[kind]);
  return false;
}

bool accept_requester(const JSON_RPC_Channel_WPtr& channel,
                      JSON_RPC_Channel_Ptr& requester, const char* gone,
                      const char* file, int line) {
  requester = lock_channel(channel);
  if (requester.get()) return true;
  log_at(file, line, LM_ERROR, gone);
  return false;
}

bool accept_in_order(const JSON_RPC_Object_Ptr& object,
                     const JSON_RPC_Channel_WPtr& channel, Kind kind,
                     bool channel_first, JSON_RPC_Request*& request,
                     JSON_RPC_Channel_Ptr& requester, const char* file,
                     int line) {
  const auto present = [&] {
    return accept_requester(channel, requester, REQUESTER_GONE, file, line);
  };
  if (channel_first && !present()) return false;
  return accept_kind(object, kind, request, file, line) &&
         (channel_first || present());
}

bool accept_request(const JSON_RPC_Object_Ptr& object,
                    const JSON_RPC_Channel_WPtr& channel,
                    JSON_RPC_Request*& request, JSON_RPC_Channel_Ptr& requester,
                    const char* file, int line) {
  return accept_in_order(object, channel, REQUEST_KIND, false, request,
                         requester, file, line);
}

bool accept_request_quietly(const JSON_RPC_Object_Ptr& object,
                            const JSON_RPC_Channel_WPtr& channel,
                            JSON_RPC_Request*& request,
                            JSON_RPC_Channel_Ptr& requester, const char* file,
                            int line) {
  request = as_request(object);
  return request &&
         accept_requester(channel, requester,
                          "Abort handling JSON-RPC request, requester is gone.\n",
                          file, line);
}

bool accept_parsed(const JSON_RPC_Channel_Ptr& channel,
                   const JSON_RPC_Object_Ptr& object,
                   JSON_RPC_Request*& request, int& sent, const char* file,
                   int line) {
  sent = -1;
  // A closed channel is a requester that has left, though the work begun
  // for its reply still keeps the channel object.
  if (!channel.get() || !channel->is_open()) {
    log_at(file, line, LM_ERROR, REQUESTER_GONE);
    return false;
  }
  if (!object.get()) {
    sent = channel->send_error(-32700, json_spirit::Value::null, nullptr,
                               json_spirit::Value::null);
    return false;
  }
  request = as_request_or_notify(object);
  if (request) return true;
  log_at(file, line, LM_EMERGENCY,
         "Unexpected error in %N:%l, request is neither JSON-RPC request nor "
         "notify!\n");
  return false;
}

int send_out_of_memory(JSON_RPC_Channel& channel,
                       const json_spirit::Value& id) {
  errno = ENOMEM;
  return channel.send_error(-32603, id, "Internal error, out of memory.",
                            json_spirit::Value::null);
}

int send_error(JSON_RPC_Channel& channel, int code,
               const json_spirit::Value& id, const char* message) {
  return channel.send_error(code, id, message, json_spirit::Value::null);
}

JSON_RPC_Object_Ptr new_response(const JSON_RPC_Request& request,
                                  json_spirit::Value result) {
  JSON_RPC_Response* response = new (std::nothrow) JSON_RPC_Response(&request);
  if (!response) {
    errno = ENOMEM;
    return JSON_RPC_Object_Ptr();
  }
  response->result = std::move(result);
  return JSON_RPC_Object_Ptr(response);
}

JSON_RPC_Object_Ptr new_error(const json_spirit::Value& id, int code,
                              const char* message) {
  JSON_RPC_Response_Error* error = new (std::nothrow) JSON_RPC_Response_Error;
  if (!error) {
    errno = ENOMEM;
    return JSON_RPC_Object_Ptr();
  }
  error->id = id;
  error->code = code;
  error->message = message;
  return JSON_RPC_Object_Ptr(error);
}

bool whole_seconds(const json_spirit::Value& value, std::int64_t& seconds) {
  const std::int64_t ten_years = 10LL * 366 * 86400;
  if (value.type() != json_spirit::int_type || value.is_uint64() || value.get_int64() < 0 ||
      value.get_int64() > ten_years)
    return false;
  seconds = value.get_int64();
  return true;
}

int send_result(JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
                json_spirit::Value result) {
  JSON_RPC_Object_Ptr response = new_response(request, std::move(result));
  if (!response.get()) return send_out_of_memory(channel, request.id);
  return channel.send_object(response);
}

bool pool_requester_present(JSON_RPC_Channel* channel,
                            const JSON_RPC_Request& request, const char* name) {
  if (channel) return true;
  ACE_DEBUG((LM_ERROR,
             ACE_TEXT("Abort handling JSON-RPC request(id: %s) in %s, "
                      "requester has gone.\n"),
             json_spirit::JSON_Dump(request.id, false).c_str(), name));
  return false;
}

int pool_send(JSON_RPC_Channel& channel, const JSON_RPC_Request& request,
              const JSON_RPC_Object_Ptr& reply, const char* name) {
  if (reply.get()) return channel.send_object(reply);
  ACE_DEBUG((LM_ERROR,
             ACE_TEXT("Failed to handle JSON-RPC request(id: %s) in %s, "
                      "internal error.\n"),
             json_spirit::JSON_Dump(request.id, false).c_str(), name));
  return -1;
}

int pool_notify(const JSON_RPC_Object_Ptr& reply, const char* name,
                const char* file, int line) {
  if (!reply.get()) {
    ACE_DEBUG((LM_ERROR,
               ACE_TEXT("Failed to handle JSON-RPC notify in %s, internal "
                        "error.\n"), name));
    return -1;
  }
  if (reply->type() != JSON_RPC_Object::JSON_RPC_RESPONSE_ERROR) return 0;
  const JSON_RPC_Response_Error* err =
      dynamic_cast<const JSON_RPC_Response_Error*>(reply.get());
  if (!err) {
    log_at(file, line, LM_EMERGENCY,
           "Unexpected error in %N:%l, err is NULL:\n%?\n");
    return -1;
  }
  ACE_DEBUG((LM_ERROR,
             ACE_TEXT("Failed to handle JSON-RPC notify in %s: %d, %s\n"),
             name, err->code, err->message.c_str()));
  return 0;
}

}  // namespace wcommon
