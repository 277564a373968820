// Reads JSON-RPC 2.0 messages and delivers them to the handlers bound to
// their methods. Bad input is answered here: text that is not JSON -32700,
// JSON that is not a JSON-RPC message -32600, an unbound method -32601.
#ifndef JSON_RPC_JSON_RPC_DISPATCHER_H
#define JSON_RPC_JSON_RPC_DISPATCHER_H

#include <cstddef>
#include <map>
#include <string>

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/json_rpc/json_rpc_handler.h"

class JSON_RPC_Dispatcher {
 public:
  // Bindings are made while configuring, before messages flow; the
  // dispatcher does not own the handlers. False when the method is bound.
  bool bind(const std::string& method, JSON_RPC_Handler* handler);
  // The message's params are streamed into a handler made by `creator`.
  bool bind_params(const std::string& method,
                   JSON_RPC_Params_Handler_Creator* creator);

  // Reads one whole message and delivers it. Returns what the handler
  // returned, the result of the error answer, or 0 for a message that needs
  // nothing (a response, a notify of an unbound method).
  int dispatch(const JSON_RPC_Channel_Ptr& channel, const char* text,
               std::size_t length) const;

  JSON_RPC_Handler* handler(const std::string& method) const;
  JSON_RPC_Params_Handler_Creator* creator(const std::string& method) const;

 private:
  std::map<std::string, JSON_RPC_Handler*> handlers_;
  std::map<std::string, JSON_RPC_Params_Handler_Creator*> creators_;
};

#endif
