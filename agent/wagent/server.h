// The loopback listener: HTTP/1.1 with keep-alive, WebSocket upgrades on
// /jsonrpc, and the routing of each request to its service.
#ifndef WAGENT_SERVER_H
#define WAGENT_SERVER_H

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "agent/json_rpc/worker_pool.h"
#include "agent/wagent/net.h"
#include "agent/wagent/services.h"

namespace wagent {

// Something the host closes when it stops.
class Closable {
 public:
  virtual ~Closable() {}
  virtual void shut() = 0;
};

// What every connection shares with the host.
struct Host_Context {
  Host_Context(net::io_context& ioc, const Services& services,
               Worker_Pool& delivery)
      : ioc(ioc), services(services), delivery(delivery) {}

  net::io_context& ioc;
  const Services& services;
  // Handlers run here, off the io_context threads, since they write to
  // their connection with blocking calls.
  Worker_Pool& delivery;
  std::size_t body_limit = 8 * 1024 * 1024;
  std::chrono::seconds timeout{30};
  // Messages a WebSocket may have in flight before its reading pauses.
  std::size_t ws_in_flight_limit = 256;
  std::atomic<bool> stopping{false};

  void track(const std::shared_ptr<Closable>& c);
  // Shuts every tracked connection that is still open.
  void shut_all();

 private:
  std::mutex lock_;
  std::list<std::weak_ptr<Closable>> open_;
};

// Address text of a request: the first X-Forwarded-For entry when it is a
// numeric address, else the peer.
std::string client_address(const std::string* forwarded_for,
                           const tcp::endpoint& peer);

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(Host_Context& context, const tcp::endpoint& endpoint);
  tcp::endpoint local_endpoint() const { return acceptor_.local_endpoint(); }
  void start();
  void stop();

 private:
  void accept();

  Host_Context& context_;
  tcp::acceptor acceptor_;
};

}  // namespace wagent

#endif
