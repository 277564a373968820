#include "agent/json_rpc/global_channel.h"

#include <mutex>

namespace {
std::mutex global_lock;
JSON_RPC_Channel_Ptr& global_channel() {
  // Never destroyed: workers may still look at it while the process exits.
  static JSON_RPC_Channel_Ptr* channel = new JSON_RPC_Channel_Ptr;
  return *channel;
}
}  // namespace

JSON_RPC_Channel_Ptr Global_JSON_RPC_Channel::instance() {
  std::lock_guard<std::mutex> guard(global_lock);
  return global_channel();
}

JSON_RPC_Channel_Ptr Global_JSON_RPC_Channel::instance(
    const JSON_RPC_Channel_Ptr& channel) {
  std::lock_guard<std::mutex> guard(global_lock);
  JSON_RPC_Channel_Ptr previous = global_channel();
  global_channel() = channel;
  return previous;
}
