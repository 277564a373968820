#include "tests/support/upstream_server.h"

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

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
  std::optional<beast::websocket::stream<beast::tcp_stream>> ws;
  std::size_t connections = 0;

  // Ends whatever is pending on the connection, then forgets it.
  void close() {
    if (ws) beast::get_lowest_layer(*ws).close();
    acceptor.cancel();
    ioc.restart();
    ioc.run();
    ws.reset();
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

Upstream_Server::Upstream_Server() : impl_(new Impl) {}

Upstream_Server::~Upstream_Server() { impl_->close(); }

unsigned short Upstream_Server::port() const { return impl_->acceptor.local_endpoint().port(); }

bool Upstream_Server::wait_connections(std::size_t n, std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  const auto deadline = Clock::now() + timeout;
  while (m.connections < n) {
    m.close();
    m.ws.emplace(m.ioc);
    error_code ec = m.run(deadline, [&](auto done) {
      m.acceptor.async_accept(beast::get_lowest_layer(*m.ws).socket(), [&m, done](error_code e) {
        if (e) return done(e);
        m.ws->async_accept(done);
      });
    });
    if (ec == beast::error::timeout) return false;
    m.connections += !ec;
  }
  return true;
}

std::optional<std::string> Upstream_Server::exchange(const std::string& text,
                                                     std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  const auto deadline = Clock::now() + timeout;
  beast::flat_buffer reply;
  if (!m.ws) return std::nullopt;
  m.ws->text(true);
  if (m.run(deadline, [&](auto done) { m.ws->async_write(net::buffer(text), done); }) ||
      m.run(deadline, [&](auto done) { m.ws->async_read(reply, done); }))
    return std::nullopt;
  return beast::buffers_to_string(reply.data());
}

void Upstream_Server::drop() { impl_->close(); }

}  // namespace wire
