// The four kinds of JSON-RPC service objects the framework delivers to.
#ifndef JSON_RPC_JSON_RPC_HANDLER_H
#define JSON_RPC_JSON_RPC_HANDLER_H

#include <ace/Time_Value.h>
#include <ace/os_include/os_time.h>

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/json_rpc/json_rpc_object.h"
#include "agent/plugin/object_creator.h"

class YAJL_Handler;

// Plain handler: handle_object runs on the thread that delivers the object.
// One object serves every request of its service, several at once.
class JSON_RPC_Handler : public Service_Object {
 public:
  virtual ~JSON_RPC_Handler();
  // Service arguments, without a program name.
  virtual int init(int argc, char* argv[]);
  virtual int fini();
  virtual int handle_object(JSON_RPC_Channel_WPtr channel,
                            JSON_RPC_Object_Ptr object) = 0;
};

// Runs handle_object_i on a framework worker thread, so a long wait never
// holds up delivery. The channel is kept alive while the work runs.
class JSON_RPC_Thread_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override;
  virtual int handle_object_i(JSON_RPC_Channel_WPtr channel,
                              JSON_RPC_Object_Ptr object) = 0;
};

// Queues objects to the framework's bounded pool of threads.
class JSON_RPC_Thread_Pool_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override;
  virtual int handle_object_i(JSON_RPC_Channel_WPtr channel,
                              JSON_RPC_Object_Ptr object) = 0;

 protected:
  // For a handler whose calls mostly wait (on a disk flush) rather than
  // compute: its objects go to the thread handlers' larger pool instead, so
  // that many callers can wait at once, a few cores or not.
  void use_thread_handler_pool() { thread_handler_pool_ = true; }

 private:
  bool thread_handler_pool_ = false;
};

// Splits objects by kind on the pool thread. The channel pointer is null
// when the requester has gone; the handler sends its reply itself.
class JSON_RPC_Thread_Pool_Handler_Impl : public JSON_RPC_Thread_Pool_Handler {
 public:
  int handle_object_i(JSON_RPC_Channel_WPtr channel,
                      JSON_RPC_Object_Ptr object) override;
  virtual int handle_request(JSON_RPC_Channel* channel,
                             JSON_RPC_Request& request);
  virtual int handle_notify(JSON_RPC_Channel* channel,
                            JSON_RPC_Request& notification);
  virtual int handle_response(JSON_RPC_Channel* channel,
                              JSON_RPC_Response& response);
  virtual int handle_response_error(JSON_RPC_Channel* channel,
                                    JSON_RPC_Response_Error& error);
};

// Makes one YAJL_Handler per message; the framework streams the message's
// params into it and deletes it once the message has been read. The object
// handed to create carries the method; its id and kind are final when the
// handler is deleted.
class JSON_RPC_Params_Handler_Creator : public Service_Object {
 public:
  virtual ~JSON_RPC_Params_Handler_Creator();
  virtual int init(int argc, char* argv[]);
  virtual int fini();
  virtual YAJL_Handler* create(JSON_RPC_Channel_WPtr channel,
                               JSON_RPC_Object_Ptr object) = 0;
};

namespace json_rpc {

// The -32603 message of a request refused because the agent's threads and
// queues are full.
extern const char* const busy_message;

// Threads of the thread handlers' pool and objects each pool may hold
// queued (0 keeps a default). Takes effect only before the first delivery.
void set_worker_limits(std::size_t threads, std::size_t queued);

// Waits until no work queued by the thread handler kinds is pending or
// running, or until `timeout` has passed (null: no limit). True when idle.
// Hosts call it before they destroy handlers.
bool drain_workers(const ACE_Time_Value* timeout);

}  // namespace json_rpc

#endif
