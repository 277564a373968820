// News about the agent's standing with its management server: the server
// registered the agent (handed it an access key) or dropped it. Listeners
// (the host's upstream connection, among others) hear each one with the
// channel it arrived on.
#ifndef WEBSOCKETC_WEBSOCKET_EVENT_MANAGER_H
#define WEBSOCKETC_WEBSOCKET_EVENT_MANAGER_H

#include <mutex>
#include <vector>

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/platform/service_instance.h"

class WebSocket_Event_Listener {
 public:
  virtual ~WebSocket_Event_Listener();
  virtual void on_registered(const JSON_RPC_Channel_Ptr& channel) = 0;
  virtual void on_unregistered(const JSON_RPC_Channel_Ptr& channel) = 0;
};

// Reached through instance(); the process's own starts without listeners.
class WebSocket_Event_Manager
    : public Service_Instance_T<WebSocket_Event_Manager> {
 public:
  virtual ~WebSocket_Event_Manager();

  virtual void notify_registered(JSON_RPC_Channel_Ptr channel);
  virtual void notify_unregistered(JSON_RPC_Channel_Ptr channel);

  // A listener is called on the notifying thread, never after
  // remove_listener has returned; it must not add or remove listeners
  // itself.
  void add_listener(WebSocket_Event_Listener* listener);
  void remove_listener(WebSocket_Event_Listener* listener);

 private:
  std::mutex lock_;
  std::vector<WebSocket_Event_Listener*> listeners_;
};

extern template class Service_Instance_T<WebSocket_Event_Manager>;

#endif
