#include "websvcs/common/job/job_definition_params_handler.h"

#include "agent/job/job_manager.h"
#include "agent/reactor/simple_reactor.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

Job_Definition_Params_Handler::Job_Definition_Params_Handler(JSON_RPC_Channel_WPtr channel,
                                                             JSON_RPC_Object_Ptr object)
    : ACE_Event_Handler(nullptr, 0),
      handover_(0, USYNC_THREAD),
      channel_(channel),
      object_(object) {}

namespace {

// The end of the work begun for the reply, when the channel is still there.
void end_reply_work(const JSON_RPC_Channel_WPtr& weak) {
  JSON_RPC_Channel_Ptr channel(weak);
  if (channel.get()) channel->end_work();
}

}  // namespace

Job_Definition_Params_Handler::~Job_Definition_Params_Handler() {
  // The reply still to come is work on the channel, so the exchange stays
  // open for it; the reactor thread ends it. No strong reference is kept
  // over the wait below: a requester that leaves meanwhile must be seen
  // gone when the reactor takes over.
  {
    JSON_RPC_Channel_Ptr held(channel_);
    if (held.get()) held->begin_work();
    working_ = held.get() != nullptr;
  }
  Simple_Reactor* reactor = Simple_Reactor::instance();
  // On the reactor thread itself a wait would never end: take over here.
  if (reactor->on_reactor_thread()) {
    handle_exception(ACE_INVALID_HANDLE);
    return;
  }
  if (reactor->notify(this, ACE_Event_Handler::EXCEPT_MASK, nullptr) == -1) {
    ACE_ERROR((LM_ERROR, "%N:%l: job definition dropped, the reactor takes no work\n"));
    if (working_) end_reply_work(channel_);
    return;
  }
  // A reactor that stops before taking the handler over drops the
  // notification: then stop waiting and make sure it is never delivered.
  const ACE_Time_Value slice(0, 100 * 1000);
  while (handover_.wait(&slice, 0) == -1) {
    if (!reactor->running()) {
      reactor->purge(this);
      if (handover_.wait(&ACE_Time_Value::zero, 0) == -1) {
        ACE_ERROR((LM_ERROR, "%N:%l: job definition dropped, the reactor has stopped\n"));
        if (working_) end_reply_work(channel_);
      }
      return;
    }
  }
}

int Job_Definition_Params_Handler::handle_exception(ACE_HANDLE) {
  JSON_RPC_Channel_Ptr channel(channel_);
  JSON_RPC_Object_Ptr object = object_;
  Job_Definition_Ptr definition = this->definition();
  const bool working = working_;
  handover_.signal();
  // From here on this object may be gone.
  submit_and_reply(channel, object, definition);
  if (working && channel.get()) channel->end_work();
  return 0;
}

int Job_Definition_Params_Handler::submit_and_reply(JSON_RPC_Channel_Ptr channel,
                                                    JSON_RPC_Object_Ptr object,
                                                    Job_Definition_Ptr definition) {
  // A closed channel is a requester that has left, though the work begun
  // for its reply still keeps the channel object.
  if (!channel.get() || !channel->is_open()) {
    WCOMMON_LOG_REQUESTER_GONE();
    return -1;
  }
  if (!object.get()) return channel->send_error(-32700, json_spirit::Value::null, nullptr,
                                                json_spirit::Value::null);
  JSON_RPC_Request* request = wcommon::as_request_or_notify(object);
  if (!request) {
    ACE_DEBUG((LM_EMERGENCY, ACE_TEXT("Unexpected error in %N:%l, request is neither "
                                      "JSON-RPC request nor notify!\n")));
    return -1;
  }
  if (request->method != "job.create")
    return channel->send_error(-32601, request->id, nullptr, json_spirit::Value::null);
  if (!Job_Manager::instance()->submit_job(definition, 0))
    return wcommon::send_error(*channel, -32603, request->id,
                               "Internal error, failed to sumbit job.");
  if (request->type() == JSON_RPC_Object::JSON_RPC_NOTIFY) return 0;
  return wcommon::send_result(*channel, *request, definition->id());
}

YAJL_Handler* Job_Definition_Params_Handler_Creator::create(JSON_RPC_Channel_WPtr channel,
                                                             JSON_RPC_Object_Ptr object) {
  YAJL_Handler* h = new (std::nothrow) Job_Definition_Params_Handler(channel, object);
  if (!h) errno = ENOMEM;
  return h;
}

WCOMMON_PARAMS_CREATOR_FACTORY(Job_Definition_Params_Handler_Creator)
