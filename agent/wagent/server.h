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
  Host_Context(Io_Lanes& lanes, const Services& services)
      : lanes(lanes), ioc(lanes.first().ioc), services(services) {}

  Io_Lanes& lanes;
  // The listener's, the signals' and the upstream channel's.
  net::io_context& ioc;
  const Services& services;
  std::size_t body_limit = 8 * 1024 * 1024;
  // A request must arrive whole, and each write must progress, within it.
  std::chrono::seconds timeout{30};
  // Messages a WebSocket may have in flight before its reading pauses.
  std::size_t ws_in_flight_limit = 32;
  std::atomic<bool> stopping{false};
  // Connections open now, and the most the descriptor limit leaves room for
  // while handlers still open files of their own.
  std::atomic<std::size_t> connections{0};
  std::size_t connection_limit = 1024;

  void track(const std::shared_ptr<Closable>& c);
  // Drops the entries of connections gone: each holds its connection's
  // memory (made with make_shared) until dropped.
  void forget_closed();
  // Shuts every tracked connection that is still open.
  void shut_all();
  // Connections tracked and not yet gone.
  std::size_t open_count();

 private:
  std::mutex lock_;
  std::list<std::weak_ptr<Closable>> open_;
};

// Counts one open connection for as long as it lives.
class Connection_Count {
 public:
  explicit Connection_Count(Host_Context& context) : context_(context) {
    ++context_.connections;
  }
  ~Connection_Count() { --context_.connections; }
  Connection_Count(const Connection_Count&) = delete;
  Connection_Count& operator=(const Connection_Count&) = delete;

 private:
  Host_Context& context_;
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
  void on_accept(beast::error_code ec, Strand_Socket socket, Io_Lanes::Lane& lane);
  // Waits 100 ms before accepting again; `why` is logged once per pause.
  void pause(const std::string& why);

  Host_Context& context_;
  tcp::acceptor acceptor_;
  net::steady_timer backoff_;
  bool paused_ = false;
};

}  // namespace wagent

#endif
