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

#include "agent/metrics/metrics.h"
#include "agent/wagent/net.h"
#include "agent/wagent/services.h"

namespace wagent {

// Something the host closes when it stops.
class Closable {
 public:
  virtual ~Closable() {}
  virtual void shut() = 0;
  // At a stop: like shut(), but a reply already being written is let go
  // out first (the connection then closes itself).
  virtual void shut_unless_answering() { shut(); }
  // Accepted, and no whole request read from it yet: since when, or
  // time_point::max(). The oldest such connection is the first to go when
  // the connections are at their cap.
  virtual std::chrono::steady_clock::time_point pending_since() const {
    return std::chrono::steady_clock::time_point::max();
  }
};

// What every connection shares with the host.
struct Host_Context {
  Host_Context(Io_Lanes& lanes, const Services& services)
      : lanes(lanes), ioc(lanes.first().ioc), services(services) {}

  Io_Lanes& lanes;
  // The listener's and the upstream channel's.
  net::io_context& ioc;
  const Services& services;
  std::size_t body_limit = 8 * 1024 * 1024;
  // A request must arrive whole, and each write must progress, within it.
  std::chrono::seconds timeout{30};
  // A WebSocket peer silent for one period is pinged, and closed when still
  // silent after the next.
  std::chrono::seconds keepalive{150};
  // Messages a WebSocket may have in flight before its reading pauses.
  std::size_t ws_in_flight_limit = 32;
  // Replies queued for a WebSocket beyond this make their senders wait, so
  // a client that stops reading costs bounded memory.
  std::size_t ws_queue_limit = 1024 * 1024;
  // A reply that may park waits once this much is queued, and goes on when
  // the queue is down to ws_park_low: a client that does not read costs
  // this much memory and no thread.
  std::size_t ws_park_high = 256 * 1024;
  std::size_t ws_park_low = 64 * 1024;
  std::atomic<bool> stopping{false};
  // Connections open now, and the most the descriptor limit leaves room for
  // while handlers still open files of their own.
  std::atomic<std::size_t> connections{0};
  std::size_t connection_limit = 1024;
  // Connections whose requests carry no known session draw on a share of
  // their own, so no number of them keeps a keyed caller out.
  std::atomic<std::size_t> anonymous_connections{0};
  std::size_t anonymous_connection_limit = 256;

  // Sets the cap and the anonymous share (a quarter of it).
  void limit_connections(std::size_t limit);
  void track(const std::shared_ptr<Closable>& c);
  // At the cap: shuts the oldest connection that has not sent a whole
  // request for longer than a grace any real client needs. False when
  // there is none.
  bool evict_pending();
  // Drops the entries of connections gone: each holds its connection's
  // memory (made with make_shared) until dropped.
  void forget_closed();
  // Shuts every tracked connection that is still open.
  // Shuts every open connection; with `spare_replies`, those answering a
  // request are left to finish (shut_unless_answering).
  void shut_all(bool spare_replies = false);
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
    metrics::open_connections().add(1);
  }
  ~Connection_Count() {
    --context_.connections;
    metrics::open_connections().add(-1);
  }
  Connection_Count(const Connection_Count&) = delete;
  Connection_Count& operator=(const Connection_Count&) = delete;

 private:
  Host_Context& context_;
};

// Counts one connection without a session while it lives: taken when its
// first request without a known session arrives, within the share.
class Anonymous_Count {
 public:
  explicit Anonymous_Count(Host_Context& context) : context_(context) {}
  ~Anonymous_Count() { release(); }
  Anonymous_Count(const Anonymous_Count&) = delete;
  Anonymous_Count& operator=(const Anonymous_Count&) = delete;
  // False when the share is full.
  bool take();
  void release();
  // Takes over the place `from` holds, if any.
  void adopt(Anonymous_Count& from) {
    release();
    taken_ = from.taken_;
    from.taken_ = false;
  }
  bool taken() const { return taken_; }

 private:
  Host_Context& context_;
  bool taken_ = false;
};

// True when `key` names a session the agent knows.
bool known_session(const std::string& key);

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
