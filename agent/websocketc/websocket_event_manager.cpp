#include "agent/websocketc/websocket_event_manager.h"

#include <algorithm>

template <>
WebSocket_Event_Manager* default_service<WebSocket_Event_Manager>() {
  static WebSocket_Event_Manager* manager = new WebSocket_Event_Manager;
  return manager;
}
template class Service_Instance_T<WebSocket_Event_Manager>;

WebSocket_Event_Listener::~WebSocket_Event_Listener() {}
WebSocket_Event_Manager::~WebSocket_Event_Manager() {}

// The lock is held while listeners run, so one that is being removed is
// never called afterwards.
void WebSocket_Event_Manager::notify_registered(JSON_RPC_Channel_Ptr channel) {
  std::lock_guard<std::mutex> guard(lock_);
  for (WebSocket_Event_Listener* l : listeners_) l->on_registered(channel);
}

void WebSocket_Event_Manager::notify_unregistered(JSON_RPC_Channel_Ptr channel) {
  std::lock_guard<std::mutex> guard(lock_);
  for (WebSocket_Event_Listener* l : listeners_) l->on_unregistered(channel);
}

void WebSocket_Event_Manager::add_listener(WebSocket_Event_Listener* listener) {
  std::lock_guard<std::mutex> guard(lock_);
  listeners_.push_back(listener);
}

void WebSocket_Event_Manager::remove_listener(WebSocket_Event_Listener* listener) {
  std::lock_guard<std::mutex> guard(lock_);
  listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener),
                   listeners_.end());
}
