// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/power_handler.h"

#include <ace/Guard_T.h>

#include <chrono>

#include "agent/eventutil/event_trigger.h"
#include "agent/job/job_manager.h"
#include "agent/modsess/session.h"
#include "agent/platform/addr_string.h"
#include "agent/systemutil/system_actions.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

namespace {
// Both bits: a session must be allowed to change the machine.
const std::uint64_t POWER_PERMISSIONS = 0xC000000000000000ULL;

// What an object of params may ask: a delay, the cancel of a pending
// action, going ahead although jobs run. Any other params ask nothing.
struct Power_Request {
  std::int64_t delay = 0;
  bool cancel = false;
  bool force = false;
  const char* error = nullptr;
};

Power_Request read_request(const json_spirit::Value& params) {
  Power_Request r;
  if (params.type() != json_spirit::obj_type) return r;
  const json_spirit::Object& members = params.get_obj();
  for (const char* flag : {"cancel", "force"}) {
    auto m = members.find(flag);
    if (m == members.end()) continue;
    if (m->second.type() != json_spirit::bool_type) {
      r.error = *flag == 'c' ? "Invalid params: 'cancel' must be true or false."
                             : "Invalid params: 'force' must be true or false.";
      return r;
    }
    (*flag == 'c' ? r.cancel : r.force) = m->second.get_bool();
  }
  auto delay = members.find("delay");
  if (delay != members.end()) {
    if (!wcommon::whole_seconds(delay->second, r.delay)) {
      r.error = "Invalid params: 'delay' must be a whole number of seconds, 0 or more.";
      return r;
    }
    if (r.cancel) {
      r.error = "Invalid params: 'cancel' takes no 'delay'.";
      return r;
    }
  }
  return r;
}

// A run in progress, paused or not.
bool jobs_running() {
  Job_Manager* manager = Job_Manager::instance();
  ACE_Read_Guard<ACE_RW_Mutex> guard(manager->mutex());
  for (const Job_Ptr& job : manager->jobs())
    if (const Job_Activity* a = job->activity())
      if (a->state == JOB_RUNNING || a->state == JOB_PAUSED) return true;
  return false;
}

}  // namespace

int JSON_RPC_Power_Handler_Impl::handle_object(JSON_RPC_Channel_WPtr channel,
                                               JSON_RPC_Object_Ptr object) {
  JSON_RPC_Request* request;
  JSON_RPC_Channel_Ptr requester;
  if (!WCOMMON_ACCEPT_REQUEST_OR_NOTIFY(object, channel, request, requester)) return -1;
  // Refusals are answered to notifies too, with their id.
  Session_Ptr session =
      Session_Manager::instance()->load_session(requester->session_id());
  if (session.null())
    return wcommon::send_error(*requester, -32603, request->id,
                               "Unauthenticated.");
  if (!session->check_perms(POWER_PERMISSIONS, false))
    return wcommon::send_error(*requester, -32603, request->id, "Forbidden.");
  ACE_INET_Addr address;
  if (requester->original_remote_addr(address) != 0)
    return wcommon::send_error(
        *requester, -32603, request->id,
        "Internal error: failed to get original remote address.");
  const Power_Request asked = read_request(request->params);
  if (asked.error) return wcommon::send_error(*requester, -32602, request->id, asked.error);
  const bool notify = request->type() == JSON_RPC_Object::JSON_RPC_NOTIFY;

  if (asked.cancel) {
    bool cancelled;
    {
      Event_Trigger event(event_code_, ACE_Addr_String(address, false).c_str(),
                          session->uid(), 1);
      event.bind("cancel", true);
      cancelled = systemutil::cancel_power_action(action_);
      if (cancelled) event.succeed();
    }
    return notify ? 0 : wcommon::send_result(*requester, *request, cancelled);
  }
  if (!asked.force && System_Options::instance()->power_refused_while_jobs_run &&
      jobs_running())
    return wcommon::send_error(*requester, -32603, request->id, "Jobs are running.");

  {
    // Recorded as asked for before the machine goes, whatever it then does.
    Event_Trigger event(event_code_, ACE_Addr_String(address, false).c_str(),
                        session->uid(), 1);
    if (asked.delay) event.bind("delay", asked.delay);
    if (asked.force) event.bind("force", true);
    if (!asked.delay || systemutil::schedule_power_action(
                            action_, std::chrono::seconds(asked.delay)))
      event.succeed();
    else
      return wcommon::send_error(*requester, -32603, request->id, failure_);
  }
  // The caller hears true only once the system has taken the order (or
  // the delayed order is pending).
  if (!asked.delay && action_() != 0)
    return wcommon::send_error(*requester, -32603, request->id, failure_);
  if (notify) return 0;
  return wcommon::send_result(*requester, *request, true);
}
