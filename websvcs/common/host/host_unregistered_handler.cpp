// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/host_unregistered_handler.h"

#include "agent/chost/host_manager.h"
#include "agent/chost/upstream_client.h"
#include "agent/websocketc/websocket_event_manager.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

int JSON_RPC_Host_Unregistered_Handler::handle_object(
    JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr) {
  JSON_RPC_Channel_Ptr requester;
  if (!WCOMMON_ACCEPT_REQUESTER(channel, requester)) return -1;
  Host_Manager::instance()->access_key(std::string());
  Upstream_JSON_RESTful_Client::instance()->reset();
  ACE_DEBUG((LM_INFO, "Channel %s is unregistered.\n",
             Host_Manager::instance()->uuid().c_str()));
  WebSocket_Event_Manager::instance()->notify_unregistered(requester);
  return 0;
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Host_Unregistered_Handler)
