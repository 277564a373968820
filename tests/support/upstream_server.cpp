#include "tests/support/upstream_server.h"

#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

namespace wire {

namespace net = boost::asio;
namespace beast = boost::beast;
using beast::error_code;
using Clock = std::chrono::steady_clock;

// Everything runs on the caller's thread, inside the calls: the agent's
// next connection waits in the listen queue until wait_connections takes it.
struct Upstream_Server::Impl {
  // First member: destroyed last, after the stream that uses it.
  net::io_context ioc;
  net::ip::tcp::acceptor acceptor{ioc, {net::ip::make_address("127.0.0.1"), 0}};
  std::optional<net::ssl::context> tls;
  // One of them holds the current connection.
  std::optional<beast::websocket::stream<beast::tcp_stream>> ws;
  std::optional<beast::websocket::stream<beast::ssl_stream<beast::tcp_stream>>> wss;
  std::size_t connections = 0;

  template <class F>
  void with_connection(F f) {
    if (ws) f(*ws);
    if (wss) f(*wss);
  }
  // Ends whatever is pending on the connection, then forgets it.
  void close() {
    with_connection([](auto& c) { beast::get_lowest_layer(c).close(); });
    acceptor.cancel();
    ioc.restart();
    ioc.run();
    ws.reset();
    wss.reset();
  }
  // Runs the operation `start` begins until it ends; past the deadline the
  // connection is closed and the operation fails.
  template <class Start>
  error_code run(Clock::time_point deadline, Start start) {
    error_code ec;
    bool done = false;
    start([&](error_code e, auto&&...) { ec = e, done = true; });
    ioc.restart();
    while (!done && ioc.run_one_until(deadline) > 0) {
    }
    if (!done) close();
    return done ? ec : beast::error::timeout;
  }
};

Upstream_Server::Upstream_Server(const Tls_Identity* tls) : impl_(new Impl) {
  if (!tls) return;
  impl_->tls.emplace(net::ssl::context::tls_server);
  impl_->tls->use_certificate_chain_file(tls->certificate);
  impl_->tls->use_private_key_file(tls->key, net::ssl::context::pem);
}

Upstream_Server::~Upstream_Server() { impl_->close(); }

unsigned short Upstream_Server::port() const { return impl_->acceptor.local_endpoint().port(); }

bool Upstream_Server::wait_connections(std::size_t n, std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  const auto deadline = Clock::now() + timeout;
  while (m.connections < n) {
    if (Clock::now() >= deadline) return false;
    m.close();
    error_code ec;
    if (m.tls) {
      m.wss.emplace(m.ioc, *m.tls);
      ec = m.run(deadline, [&](auto done) {
        m.acceptor.async_accept(beast::get_lowest_layer(*m.wss).socket(), [&m, done](error_code e) {
          if (e) return done(e);
          m.wss->next_layer().async_handshake(net::ssl::stream_base::server, [&m, done](error_code e) {
            if (e) return done(e);
            m.wss->async_accept(done);
          });
        });
      });
    } else {
      m.ws.emplace(m.ioc);
      ec = m.run(deadline, [&](auto done) {
        m.acceptor.async_accept(beast::get_lowest_layer(*m.ws).socket(), [&m, done](error_code e) {
          if (e) return done(e);
          m.ws->async_accept(done);
        });
      });
    }
    if (ec == beast::error::timeout) return false;
    m.connections += !ec;
  }
  return true;
}

std::optional<std::string> Upstream_Server::exchange(const std::string& text,
                                                     std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  const auto deadline = Clock::now() + timeout;
  std::optional<std::string> answer;
  m.with_connection([&](auto& c) {
    beast::flat_buffer reply;
    c.text(true);
    if (!m.run(deadline, [&](auto done) { c.async_write(net::buffer(text), done); }) &&
        !m.run(deadline, [&](auto done) { c.async_read(reply, done); }))
      answer = beast::buffers_to_string(reply.data());
  });
  return answer;
}

void Upstream_Server::drop() { impl_->close(); }

}  // namespace wire
