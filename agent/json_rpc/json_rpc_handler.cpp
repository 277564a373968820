#include "agent/json_rpc/json_rpc_handler.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <thread>

#include "agent/json_rpc/request_meter.h"
#include "agent/json_rpc/worker_pool.h"

namespace {

// Thread handlers may wait for minutes (host.test); give them many threads.
std::size_t thread_handler_threads = 64;
std::size_t queued_limit = 1024;

// Both pools are left to the end of the process on purpose: a worker still
// sleeping at exit must never find its pool destroyed under it.
Worker_Pool& thread_handler_pool() {
  static Worker_Pool* pool = new Worker_Pool(
      thread_handler_threads, std::chrono::seconds(30), queued_limit);
  return *pool;
}

Worker_Pool& thread_pool_handler_pool() {
  static Worker_Pool* pool = new Worker_Pool(
      std::max(4u, 2 * std::thread::hardware_concurrency()),
      std::chrono::seconds(30), queued_limit);
  return *pool;
}

// Callers without a session (open methods only) get a pool of their own, a
// quarter of the others' size: however many of them wait (host.test waits
// as long as asked), a keyed caller never finds the workers busy.
Worker_Pool& anonymous_pool() {
  static Worker_Pool* pool = new Worker_Pool(
      std::max<std::size_t>(1, thread_handler_threads / 4),
      std::chrono::seconds(30), std::max<std::size_t>(1, queued_limit / 4));
  return *pool;
}

// Queues `work` with the channel's work count raised until it has run. The
// queued task holds only a weak reference, so a requester that leaves
// before its turn is seen as gone; while the work runs a strong reference
// keeps the channel usable.
// A full pool answers a request at once rather than letting it wait
// behind an unbounded queue.
template <class Work>
int queue_work(Worker_Pool& pool, const JSON_RPC_Channel_WPtr& channel,
               const JSON_RPC_Object_Ptr& object, Work work) {
  JSON_RPC_Channel_Ptr strong(channel);
  if (strong.get()) strong->begin_work();
  Worker_Pool& own = strong.get() && strong->anonymous() ? anonymous_pool() : pool;
  bool queued = own.submit([channel, object, work]() {
    JSON_RPC_Channel_Ptr held(channel);
    json_rpc::Answer_Scope answering(object.get());
    try {
      work();
    } catch (const std::exception& e) {
      // The caller gets an internal error instead of waiting for ever, and
      // the channel's work count comes down as after any other end.
      ACE_ERROR((LM_ERROR, "%N:%l: JSON-RPC handler failed: %C\n", e.what()));
      JSON_RPC_Object* o = object.get();
      if (held.get() && o && o->type() == JSON_RPC_Object::JSON_RPC_REQUEST)
        held->send_error(-32603, o->id, nullptr, json_spirit::Value::null);
    }
    if (held.get()) held->end_work();
  });
  if (queued) return 0;
  int rc = -1;
  json_rpc::note_answer(json_rpc::RPC_BUSY);
  metrics::count_busy(metrics::BUSY_WORKERS);
  JSON_RPC_Object* o = object.get();
  if (strong.get() && o && o->type() == JSON_RPC_Object::JSON_RPC_REQUEST) {
    ACE_DEBUG((LM_WARNING, ACE_TEXT("%N:%l: workers busy, request refused\n")));
    rc = strong->send_error(-32603, o->id, json_rpc::busy_message,
                            json_spirit::Value::null);
  } else {
    ACE_DEBUG((LM_WARNING, ACE_TEXT("%N:%l: workers busy, JSON-RPC object "
                                    "dropped\n")));
  }
  if (strong.get()) strong->end_work();
  return rc;
}

}  // namespace

JSON_RPC_Handler::~JSON_RPC_Handler() {}

int JSON_RPC_Handler::init(int, char*[]) { return 0; }

int JSON_RPC_Handler::fini() { return 0; }

int JSON_RPC_Thread_Handler::handle_object(JSON_RPC_Channel_WPtr channel,
                                           JSON_RPC_Object_Ptr object) {
  return queue_work(thread_handler_pool(), channel, object,
                    [this, channel, object]() {
    handle_object_i(channel, object);
  });
}

int JSON_RPC_Thread_Pool_Handler::handle_object(JSON_RPC_Channel_WPtr channel,
                                                JSON_RPC_Object_Ptr object) {
  return queue_work(thread_handler_pool_ ? thread_handler_pool() : thread_pool_handler_pool(),
                    channel, object,
                    [this, channel, object]() {
                      handle_object_i(channel, object);
                    });
}

int JSON_RPC_Thread_Pool_Handler_Impl::handle_object_i(
    JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) {
  JSON_RPC_Channel_Ptr strong(channel);
  JSON_RPC_Object* o = object.get();
  if (!o) return -1;
  switch (o->type()) {
    case JSON_RPC_Object::JSON_RPC_REQUEST:
    case JSON_RPC_Object::JSON_RPC_NOTIFY: {
      JSON_RPC_Request* request = dynamic_cast<JSON_RPC_Request*>(o);
      if (!request) break;
      return o->type() == JSON_RPC_Object::JSON_RPC_REQUEST
                 ? handle_request(strong.get(), *request)
                 : handle_notify(strong.get(), *request);
    }
    case JSON_RPC_Object::JSON_RPC_RESPONSE:
      if (auto r = dynamic_cast<JSON_RPC_Response*>(o))
        return handle_response(strong.get(), *r);
      break;
    case JSON_RPC_Object::JSON_RPC_RESPONSE_ERROR:
      if (auto e = dynamic_cast<JSON_RPC_Response_Error*>(o))
        return handle_response_error(strong.get(), *e);
      break;
  }
  ACE_DEBUG((LM_EMERGENCY,
             ACE_TEXT("Unexpected error in %N:%l, object of kind %d\n"),
             o->type()));
  return -1;
}

int JSON_RPC_Thread_Pool_Handler_Impl::handle_request(
    JSON_RPC_Channel* channel, JSON_RPC_Request& request) {
  if (!channel) return -1;
  return channel->send_error(-32601, request.id, nullptr,
                             json_spirit::Value::null);
}

int JSON_RPC_Thread_Pool_Handler_Impl::handle_notify(JSON_RPC_Channel*,
                                                     JSON_RPC_Request&) {
  return 0;
}

int JSON_RPC_Thread_Pool_Handler_Impl::handle_response(JSON_RPC_Channel*,
                                                       JSON_RPC_Response&) {
  return 0;
}

int JSON_RPC_Thread_Pool_Handler_Impl::handle_response_error(
    JSON_RPC_Channel*, JSON_RPC_Response_Error&) {
  return 0;
}

JSON_RPC_Params_Handler_Creator::~JSON_RPC_Params_Handler_Creator() {}

int JSON_RPC_Params_Handler_Creator::init(int, char*[]) { return 0; }

int JSON_RPC_Params_Handler_Creator::fini() { return 0; }

namespace json_rpc {

const char* const busy_message = "Busy: too many requests in progress, try again later.";

void set_worker_limits(std::size_t threads, std::size_t queued) {
  if (threads) thread_handler_threads = threads;
  if (queued) queued_limit = queued;
}

bool drain_workers(const ACE_Time_Value* timeout) {
  std::chrono::milliseconds limit =
      timeout ? std::chrono::milliseconds(timeout->msec())
              : std::chrono::hours(24 * 365);
  auto start = std::chrono::steady_clock::now();
  auto left = [&] {
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    return spent < limit ? limit - spent : std::chrono::milliseconds(0);
  };
  bool idle = thread_handler_pool().drain(limit);
  idle = thread_pool_handler_pool().drain(left()) && idle;
  return anonymous_pool().drain(left()) && idle;
}

}  // namespace json_rpc
