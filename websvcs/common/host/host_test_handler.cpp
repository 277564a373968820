// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/host_test_handler.h"

#include <ace/OS_NS_unistd.h>

#include <climits>

#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

namespace {

const unsigned DEFAULT_WAIT = 120;

// Sleeps in short slices so a requester that leaves stops the wait instead
// of holding a worker thread for the rest of it. False when it left.
bool wait_while_connected(const JSON_RPC_Channel_WPtr& channel,
                          unsigned seconds) {
  const unsigned long slice_ms = 200;
  unsigned long long left_ms = seconds * 1000ULL;
  while (left_ms > 0) {
    JSON_RPC_Channel_Ptr requester(channel);
    if (!requester.get() || !requester->is_open()) return false;
    unsigned long ms = left_ms < slice_ms ? left_ms : slice_ms;
    ACE_OS::sleep(ACE_Time_Value(0, static_cast<suseconds_t>(ms * 1000)));
    left_ms -= ms;
  }
  return true;
}

}  // namespace

unsigned JSON_RPC_Host_Test_Handler::wait_seconds(
    const json_spirit::Value& params) {
  if (params.type() != json_spirit::int_type) return DEFAULT_WAIT;
  if (params.is_uint64()) return UINT_MAX;
  long long seconds = params.get_int64();
  if (seconds < 0) return 0;
  return seconds > UINT_MAX ? UINT_MAX : static_cast<unsigned>(seconds);
}

int JSON_RPC_Host_Test_Handler::handle_object_i(JSON_RPC_Channel_WPtr channel,
                                                JSON_RPC_Object_Ptr object) {
  JSON_RPC_Request* request;
  if (!WCOMMON_ACCEPT_KIND(object, wcommon::REQUEST_KIND, request)) return -1;
  const unsigned seconds = wait_seconds(request->params);
  ACE_DEBUG((LM_INFO, ACE_TEXT("host.test waits %u s.\n"), seconds));
  if (!wait_while_connected(channel, seconds)) {
    WCOMMON_LOG_REQUESTER_GONE();
    return -1;
  }
  ACE_DEBUG((LM_INFO, ACE_TEXT("host.test is done.\n")));

  // Nothing is sent when even the reply cannot be made.
  JSON_RPC_Object_Ptr response = wcommon::new_response(*request, "OK");
  if (!response.get()) return -1;
  JSON_RPC_Channel_Ptr requester;
  if (!WCOMMON_ACCEPT_REQUESTER(channel, requester)) return -1;
  return requester->send_object(response);
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Host_Test_Handler)
