// The connection the agent makes to its management server. It serves
// JSON-RPC arriving there like the listener does, is the global channel
// while it is up, and comes back after a drop with a capped, jittered back-off. It
// listens for the server's registration news and keeps whether the agent is
// registered (it starts so when an access key is kept from before).
#ifndef WAGENT_UPSTREAM_H
#define WAGENT_UPSTREAM_H

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/ssl.hpp>

#include "agent/wagent/backoff.h"
#include "agent/wagent/net.h"
#include "agent/wagent/server.h"
#include "agent/websocketc/websocket_event_manager.h"

namespace wagent {

class Upstream : public std::enable_shared_from_this<Upstream>,
                 public WebSocket_Event_Listener {
 public:
  // With `tls`, the server's certificate is checked against the agent's
  // trusted authorities and `host`.
  Upstream(Host_Context& context, std::string host, unsigned short port,
           std::string target, std::string session_key, bool tls);

  void start();
  void stop();
  bool registered() const { return registered_; }

  void on_registered(const JSON_RPC_Channel_Ptr& channel) override;
  void on_unregistered(const JSON_RPC_Channel_Ptr& channel) override;

 private:
  void connect();
  template <class Session>
  void open(std::shared_ptr<Session> session);
  void retry();
  void mark(const JSON_RPC_Channel_Ptr& channel, bool registered);

  Host_Context& context_;
  net::strand<net::io_context::executor_type> strand_;
  net::steady_timer timer_;
  Reconnect_Backoff backoff_;  // on the strand
  std::string host_;
  unsigned short port_;
  std::string target_;
  std::string session_key_;
  bool stopped_ = false;
  std::atomic<bool> registered_{false};
  std::weak_ptr<Closable> current_;
  // Made once at start: the authorities a wss:// server is checked against.
  std::optional<net::ssl::context> tls_;
};

}  // namespace wagent

#endif
