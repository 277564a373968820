#ifndef WCOMMON_QUEUE_PUSH_HANDLER_H
#define WCOMMON_QUEUE_PUSH_HANDLER_H

#include <string>

#include "agent/json_rpc/json_rpc_handler.h"

// queue.push: appends a batch of messages, as one chain of blocks, to the
// work queue its configuration names (-q NAME), optionally with a
// description of the requester on every block (-c rpc_service_requester).
// Requests are answered with the queue's boolean; notifies never are.
// A push mostly waits for the spool's flush: pushes go to the thread
// handlers' larger pool, where many can wait at once and share flushes.
class JSON_RPC_Queue_Push_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {
 public:
  JSON_RPC_Queue_Push_Handler() { use_thread_handler_pool(); }
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
};

#endif
