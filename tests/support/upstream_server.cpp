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
  beast::flat_buffer buffer;
  std::size_t connections = 0;
  bool reading = false, read_done = false;
  error_code read_ec;

  bool run_until(const bool& done, Clock::time_point deadline) {
    ioc.restart();
    while (!done && ioc.run_one_until(deadline) > 0) {
    }
    return done;
  }
  // Ends whatever is pending on the connection, then forgets it.
  void close() {
    if (ws) beast::get_lowest_layer(*ws).close();
    acceptor.cancel();
    ioc.restart();
    ioc.run();
    ws.reset();
    reading = false;
    buffer.clear();
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
    bool done = false;
    error_code ec;
    auto finish = [&](error_code e, auto&&...) {
      ec = e;
      done = true;
    };
    m.acceptor.async_accept(beast::get_lowest_layer(*m.ws).socket(), [&](error_code e) {
      if (e) return finish(e);
      m.ws->async_accept(finish);
    });
    if (!m.run_until(done, deadline)) return m.close(), false;
    m.connections += !ec;
  }
  return true;
}

bool Upstream_Server::send(const std::string& text) {
  Impl& m = *impl_;
  if (!m.ws) return false;
  bool done = false;
  error_code ec;
  m.ws->text(true);
  m.ws->async_write(net::buffer(text), [&](error_code e, std::size_t) {
    ec = e;
    done = true;
  });
  if (!m.run_until(done, Clock::now() + std::chrono::seconds(5))) return m.close(), false;
  return !ec;
}

std::optional<std::string> Upstream_Server::receive(std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  if (!m.ws) return std::nullopt;
  if (!m.reading) {
    // Left pending past a timeout: the message still comes to a later call.
    m.reading = true;
    m.read_done = false;
    m.ws->async_read(m.buffer, [&m](error_code e, std::size_t) {
      m.read_ec = e;
      m.read_done = true;
    });
  }
  if (!m.run_until(m.read_done, Clock::now() + timeout)) return std::nullopt;
  m.reading = false;
  if (m.read_ec) return std::nullopt;
  std::string text = beast::buffers_to_string(m.buffer.data());
  m.buffer.consume(m.buffer.size());
  return text;
}

void Upstream_Server::drop() { impl_->close(); }

}  // namespace wire
