// Where the agent's management server is: host, port and whether the
// connection uses TLS, as given by the host's upstream URL.
#ifndef WEBSOCKETC_WEBSOCKET_OPTIONS_H
#define WEBSOCKETC_WEBSOCKET_OPTIONS_H

#include <mutex>
#include <string>

#include "agent/platform/service_instance.h"

// Reached through instance(); the process's own starts unconfigured.
class WebSocket_Options : public Service_Instance_T<WebSocket_Options> {
 public:

  // Reads "ws://HOST[:PORT][/PATH]" or "wss://..."; false (and nothing
  // changed) for anything else.
  bool set_url(const std::string& url);
  void clear();

  bool configured() const;
  std::string host() const;
  unsigned short port() const;
  bool tls() const;
  // The request target of the upstream connection ("/" when none).
  std::string path() const;

 private:
  mutable std::mutex lock_;
  bool configured_ = false;
  std::string host_;
  unsigned short port_ = 0;
  bool tls_ = false;
  std::string path_ = "/";
};

extern template class Service_Instance_T<WebSocket_Options>;

#endif
