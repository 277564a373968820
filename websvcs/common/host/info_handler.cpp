// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/info_handler.h"

#include "agent/pkgutil/host_info.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

int JSON_RPC_Host_Info_Handler::handle_object(JSON_RPC_Channel_WPtr channel,
                                              JSON_RPC_Object_Ptr object) {
  JSON_RPC_Request* request;
  JSON_RPC_Channel_Ptr requester;
  if (!WCOMMON_ACCEPT_REQUEST(object, channel, request, requester)) return -1;
  if (!request->params.is_null())
    return wcommon::send_error(
        *requester, -32602, request->id,
        "Invalid params: params type must be omitted or null");

  json_spirit::Value info;
  if (!host_info(info))
    return wcommon::send_error(
        *requester, -32603, request->id,
        "Internal error: failed to get the name of the current system.");
  return wcommon::send_result(*requester, *request, std::move(info));
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Host_Info_Handler)
