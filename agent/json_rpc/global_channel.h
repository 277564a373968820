// The agent's channel to its management server, for notifications the
// agent starts itself. Empty while there is no upstream connection.
#ifndef JSON_RPC_GLOBAL_CHANNEL_H
#define JSON_RPC_GLOBAL_CHANNEL_H

#include "agent/json_rpc/json_rpc_channel.h"

class Global_JSON_RPC_Channel {
 public:
  static JSON_RPC_Channel_Ptr instance();
  // Installs `channel` (an empty pointer clears it); returns the previous.
  static JSON_RPC_Channel_Ptr instance(const JSON_RPC_Channel_Ptr& channel);
};

#endif
