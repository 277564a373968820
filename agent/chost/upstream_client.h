// The agent's REST client towards its management server: one HTTP session
// to the upstream's host and port, kept between exchanges. A change of the
// access key or of the server resets it, so the next exchange starts over
// with what is current.
#ifndef CHOST_UPSTREAM_CLIENT_H
#define CHOST_UPSTREAM_CLIENT_H

#include <mutex>

#include "agent/clntio/http_client.h"
#include "agent/platform/service_instance.h"

class Upstream_JSON_RESTful_Client
    : public Service_Instance_T<Upstream_JSON_RESTful_Client> {
 public:
  virtual ~Upstream_JSON_RESTful_Client();

  // The session towards the upstream of WebSocket_Options, made on first
  // use; null when no upstream is configured.
  virtual clntio::HTTP_Session_Ptr session();
  // Drops the kept session.
  virtual void reset();

 private:
  std::mutex lock_;
  clntio::HTTP_Session_Ptr session_;
};

extern template class Service_Instance_T<Upstream_JSON_RESTful_Client>;

#endif
