#include "agent/chost/upstream_client.h"

#include "agent/websocketc/websocket_options.h"

template <>
Upstream_JSON_RESTful_Client* default_service<Upstream_JSON_RESTful_Client>() {
  static Upstream_JSON_RESTful_Client* client = new Upstream_JSON_RESTful_Client;
  return client;
}
template class Service_Instance_T<Upstream_JSON_RESTful_Client>;

Upstream_JSON_RESTful_Client::~Upstream_JSON_RESTful_Client() {}

clntio::HTTP_Session_Ptr Upstream_JSON_RESTful_Client::session() {
  std::lock_guard<std::mutex> guard(lock_);
  WebSocket_Options* o = WebSocket_Options::instance();
  if (!session_ && o->configured())
    session_ = clntio::HTTP_Session_Factory::create(
        o->host(), o->port(), o->tls(), nullptr, 3, nullptr, false, 120, 120,
        0, 0);
  return session_;
}

void Upstream_JSON_RESTful_Client::reset() {
  std::lock_guard<std::mutex> guard(lock_);
  session_.reset();
}
