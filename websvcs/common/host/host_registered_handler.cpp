// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/host_registered_handler.h"

#include "agent/chost/host_manager.h"
#include "agent/chost/upstream_client.h"
#include "agent/websocketc/websocket_event_manager.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

int JSON_RPC_Host_Registered_Handler::handle_object(
    JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) {
  JSON_RPC_Request* notify;
  JSON_RPC_Channel_Ptr requester;
  if (!WCOMMON_ACCEPT_CHANNEL_FIRST(object, channel, wcommon::NOTIFY_KIND, notify,
                                    requester))
    return -1;
  // Answered although a notify: the server must learn that no key was kept.
  if (notify->params.type() != json_spirit::str_type)
    return wcommon::send_error(*requester, -32602, notify->id,
                               "Invalid params: params type must be string.");

  Host_Manager::instance()->access_key(notify->params.get_str());
  // The REST client's next exchange carries the new key.
  Upstream_JSON_RESTful_Client::instance()->reset();
  ACE_DEBUG((LM_INFO, "Channel %s is registered.\n",
             Host_Manager::instance()->uuid().c_str()));
  WebSocket_Event_Manager::instance()->notify_registered(requester);
  return 0;
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Host_Registered_Handler)
