// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/power_handler.h"

#include "agent/eventutil/event_trigger.h"
#include "agent/modsess/session.h"
#include "agent/platform/addr_string.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

namespace {
// Both bits: a session must be allowed to change the machine.
const std::uint64_t POWER_PERMISSIONS = 0xC000000000000000ULL;
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

  {
    // Recorded as asked for before the machine goes, whatever it then does.
    Event_Trigger event(event_code_, ACE_Addr_String(address, false).c_str(),
                        session->uid(), 1);
    event.succeed();
  }
  // The caller hears true only once the system has taken the order.
  if (action_() != 0)
    return wcommon::send_error(*requester, -32603, request->id, failure_);
  if (request->type() == JSON_RPC_Object::JSON_RPC_NOTIFY) return 0;
  return wcommon::send_result(*requester, *request, true);
}
