#ifndef WCOMMON_QUEUE_PUSH_HANDLER_H
#define WCOMMON_QUEUE_PUSH_HANDLER_H

#include <atomic>
#include <string>

#include "agent/json_rpc/json_rpc_handler.h"

// queue.push: appends a batch of messages, as one chain of blocks, to the
// work queue its configuration names (-q NAME), optionally with a
// description of the requester on every block (-c rpc_service_requester).
// Requests are answered with the queue's boolean; notifies never are.
// A push waits for the spool's flush. Alone, it runs on the thread that
// delivers it, sparing two thread handoffs that cost about as much as the
// flush; pushes that come while others are under way go to the thread
// handlers' larger pool, where many can wait at once and share flushes.
class JSON_RPC_Queue_Push_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {
 public:
  JSON_RPC_Queue_Push_Handler() { use_thread_handler_pool(); }
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override;
  int init(int argc, ACE_TCHAR* argv[]) override;
  int handle_request(JSON_RPC_Channel* channel,
                     JSON_RPC_Request& request) override;
  int handle_notify(JSON_RPC_Channel* channel,
                    JSON_RPC_Request& notification) override;

 private:
  // The reply for `object`; null (errno ENOMEM) when it cannot be allocated.
  JSON_RPC_Object_Ptr push(JSON_RPC_Channel* channel, JSON_RPC_Request& object);

  std::string control_type;
  std::string queue_name;
  std::atomic<int> pushing_{0};  // pushes in enqueue
};

#endif
