// Messages the agent starts itself, sent on a channel it holds weakly (the
// global channel to the management server, which may go at any time).
#ifndef JSON_RPC_JSON_RPC_SESSION_H
#define JSON_RPC_JSON_RPC_SESSION_H

#include <string>

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/json_rpc/json_rpc_object.h"

class JSON_RPC_Session {
 public:
  explicit JSON_RPC_Session(const JSON_RPC_Channel_WPtr& channel)
      : channel_(channel) {}

  // Makes a notify of `method` with `params` into `object` (null when it
  // cannot be allocated). A notify: nobody waits for an answer to a report.
  static void make_rpc_request(const std::string& method,
                               const json_spirit::Value& params,
                               JSON_RPC_Object_Ptr& object);

  // Sends `object`; -1 when the channel has gone or the send failed.
  int notify(const JSON_RPC_Object_Ptr& object);

 private:
  JSON_RPC_Channel_WPtr channel_;
};

#endif
