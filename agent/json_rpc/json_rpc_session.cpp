#include "agent/json_rpc/json_rpc_session.h"

#include <new>

void JSON_RPC_Session::make_rpc_request(const std::string& method,
                                        const json_spirit::Value& params,
                                        JSON_RPC_Object_Ptr& object) {
  JSON_RPC_Request* r =
      new (std::nothrow) JSON_RPC_Request(JSON_RPC_Object::JSON_RPC_NOTIFY);
  if (r) {
    r->method = method;
    r->params = params;
  }
  object = JSON_RPC_Object_Ptr(r);
}

int JSON_RPC_Session::notify(const JSON_RPC_Object_Ptr& object) {
  JSON_RPC_Channel_Ptr channel(channel_);
  if (!channel.get() || !object.get()) return -1;
  return channel->send_object(object);
}
