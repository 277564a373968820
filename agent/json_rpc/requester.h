// Who sent a JSON-RPC message: a description that travels with the work it
// asked for (a queued block's control object), so whoever does the work
// later knows where it came from.
#ifndef JSON_RPC_REQUESTER_H
#define JSON_RPC_REQUESTER_H

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/json_rpc/json_rpc_object.h"
#include "agent/json_spirit/json_spirit.h"

namespace RPC {
namespace Service {

class Requester {
 public:
  // `flags` is kept for callers that pass it; no flag is defined yet.
  Requester(JSON_RPC_Channel& channel, JSON_RPC_Object& object, unsigned flags);

  // Sets "address" (the original remote address, when the channel knows
  // it), "user" (the uid of the channel's session, when it has a known one),
  // "method" (requests and notifies) and "id" (when not null) in `out`.
  void dump(json_spirit::Object& out) const;

 private:
  JSON_RPC_Channel& channel_;
  JSON_RPC_Object& object_;
};

}  // namespace Service
}  // namespace RPC

#endif
