// The listener and what every connection shares with the host.
#include "agent/wagent/server.h"

#include <ace/Log_Msg.h>

#include <algorithm>

#include "agent/modsess/session.h"
#include "agent/wagent/http_session.h"

namespace wagent {

void Host_Context::track(const std::shared_ptr<Closable>& c) {
  forget_closed();
  std::lock_guard<std::mutex> guard(lock_);
  open_.push_back(c);
}

void Host_Context::limit_connections(std::size_t limit) {
  connection_limit = std::max<std::size_t>(limit, 1);
  anonymous_connection_limit = std::max<std::size_t>(connection_limit / 4, 1);
}

bool Host_Context::evict_pending() {
  // A client connects and sends its request at once; one still silent
  // after this long holds a place someone else could use.
  const auto limit = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  std::shared_ptr<Closable> oldest;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& weak : open_) {
      auto c = weak.lock();
      if (c && c->pending_since() <= limit) {
        oldest = std::move(c);
        break;
      }
    }
  }
  if (!oldest) return false;
  oldest->shut();
  return true;
}

bool Anonymous_Count::take() {
  if (taken_) return true;
  std::size_t now = context_.anonymous_connections.load();
  do {
    if (now >= context_.anonymous_connection_limit) return false;
  } while (!context_.anonymous_connections.compare_exchange_weak(now, now + 1));
  taken_ = true;
  return true;
}

void Anonymous_Count::release() {
  if (taken_) --context_.anonymous_connections;
  taken_ = false;
}

bool known_session(const std::string& key) {
  return !key.empty() && Session_Manager::instance()->load_session(key).get();
}

void Host_Context::forget_closed() {
  std::lock_guard<std::mutex> guard(lock_);
  open_.remove_if([](const std::weak_ptr<Closable>& weak) { return weak.expired(); });
}

std::size_t Host_Context::open_count() {
  std::lock_guard<std::mutex> guard(lock_);
  std::size_t n = 0;
  for (auto& weak : open_) n += !weak.expired();
  return n;
}

void Host_Context::shut_all(bool spare_replies) {
  std::list<std::weak_ptr<Closable>> open;
  {
    std::lock_guard<std::mutex> guard(lock_);
    open = open_;
  }
  for (auto& weak : open)
    if (auto c = weak.lock()) spare_replies ? c->shut_unless_answering() : c->shut();
}

std::string client_address(const std::string* forwarded_for,
                           const tcp::endpoint& peer) {
  if (forwarded_for) {
    std::string first = forwarded_for->substr(0, forwarded_for->find(','));
    first.erase(0, first.find_first_not_of(" \t"));
    first.erase(first.find_last_not_of(" \t") + 1);
    beast::error_code ec;
    net::ip::make_address(first, ec);
    if (!ec) return first;
  }
  return peer.address().to_string();
}

Listener::Listener(Host_Context& context, const tcp::endpoint& endpoint)
    : context_(context), acceptor_(context.ioc), backoff_(context.ioc) {
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(net::socket_base::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(net::socket_base::max_listen_connections);
}

void Listener::start() { accept(); }

void Listener::stop() {
  net::post(acceptor_.get_executor(), [self = shared_from_this()] {
    beast::error_code ignored;
    self->acceptor_.close(ignored);
    self->backoff_.cancel();
  });
}

void Listener::accept() {
  // A connection that has sent nothing whole yet makes room for a new one:
  // otherwise clients that connect and say nothing would keep everyone
  // else out until they time out.
  if (context_.connections >= context_.connection_limit && !context_.evict_pending())
    return pause(std::to_string(context_.connections.load()) +
                 " connections, all the descriptor limit leaves room for");
  Io_Lanes::Lane& lane = context_.lanes.next();
  acceptor_.async_accept(
      net::make_strand(lane.ioc),
      [self = shared_from_this(), &lane](beast::error_code ec, Strand_Socket socket) {
        self->on_accept(ec, std::move(socket), lane);
      });
}

void Listener::pause(const std::string& why) {
  // Pending connections stay in the backlog; trying again at once would
  // only spin. Connections already open go on being served.
  if (!paused_)
    ACE_ERROR((LM_WARNING, "%N:%l: accept paused: %C\n", why.c_str()));
  paused_ = true;
  backoff_.expires_after(std::chrono::milliseconds(100));
  backoff_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec && self->acceptor_.is_open()) self->accept();
  });
}

void Listener::on_accept(beast::error_code ec, Strand_Socket socket,
                         Io_Lanes::Lane& lane) {
  if (ec == net::error::operation_aborted || !acceptor_.is_open()) return;
  if (ec == net::error::no_descriptors || ec.value() == ENFILE ||
      ec == net::error::no_buffer_space || ec == net::error::no_memory)
    return pause(ec.message());
  if (!ec && !context_.stopping) {
    paused_ = false;
    // Replies leave in one write or a few: no reason to hold a piece back.
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto session = std::make_shared<Http_Session>(std::move(socket), context_, lane);
    context_.track(session);
    session->start();
  }
  accept();
}

}  // namespace wagent
