#include "tests/support/upstream_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cctype>
#include <deque>

#include "tests/support/file_server.h"

namespace wire {

namespace net = boost::asio;
namespace beast = boost::beast;
using beast::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// Whether the request waiting on `fd` asks for a WebSocket: its head is
// peeked at, not read, so whoever serves the connection reads it whole.
bool asks_upgrade(int fd) {
  char head[8192];
  for (int waited = 0; waited < 2000; waited += 10) {
    const ssize_t n = ::recv(fd, head, sizeof head - 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
      std::string text(head, static_cast<std::size_t>(n));
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (text.find("\r\n\r\n") != std::string::npos || n == sizeof head - 1)
        return text.find("upgrade: websocket") != std::string::npos;
    } else if (n == 0) {
      return false;
    }
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, 10);
  }
  return false;
}

}  // namespace

// Everything runs on the caller's thread, inside the calls: connections are
// accepted while a call runs; a WebSocket waits in `waiting` until
// wait_connections takes it.
struct Upstream_Server::Impl {
  // First member: destroyed last, after the stream that uses it.
  net::io_context ioc;
  net::ip::tcp::acceptor acceptor{ioc, {net::ip::make_address("127.0.0.1"), 0}};
  std::optional<beast::websocket::stream<beast::tcp_stream>> ws;
  std::deque<net::ip::tcp::socket> waiting;
  File_Server* http = nullptr;
  bool accepting = false;
  std::size_t connections = 0;

  void accept() {
    if (accepting) return;
    accepting = true;
    acceptor.async_accept([this](error_code ec, net::ip::tcp::socket s) {
      accepting = false;
      if (ec) return;
      if (http && !asks_upgrade(s.native_handle()))
        http->adopt(s.release());
      else
        waiting.push_back(std::move(s));
      accept();
    });
  }
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

Upstream_Server::Upstream_Server(File_Server* http) : impl_(new Impl) { impl_->http = http; }

Upstream_Server::~Upstream_Server() { impl_->close(); }

unsigned short Upstream_Server::port() const { return impl_->acceptor.local_endpoint().port(); }

bool Upstream_Server::wait_connections(std::size_t n, std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  const auto deadline = Clock::now() + timeout;
  while (m.connections < n) {
    m.close();
    m.accept();
    m.ioc.restart();
    while (m.waiting.empty() && m.ioc.run_one_until(deadline) > 0) {
    }
    if (m.waiting.empty()) return false;
    m.ws.emplace(std::move(m.waiting.front()));
    m.waiting.pop_front();
    error_code ec = m.run(deadline, [&](auto done) { m.ws->async_accept(done); });
    if (ec == beast::error::timeout) return false;
    m.connections += !ec;
  }
  return true;
}

std::optional<std::string> Upstream_Server::exchange(const std::string& text,
                                                     std::chrono::milliseconds timeout) {
  return exchange_until(text, "", timeout);
}

bool Upstream_Server::send(const std::string& text, std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  if (!m.ws) return false;
  m.accept();
  m.ws->text(true);
  return !m.run(Clock::now() + timeout,
                [&](auto done) { m.ws->async_write(net::buffer(text), done); });
}

std::optional<std::string> Upstream_Server::exchange_until(const std::string& text,
                                                           const std::string& fragment,
                                                           std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  const auto deadline = Clock::now() + timeout;
  if (!m.ws) return std::nullopt;
  if (!text.empty() && !send(text, timeout)) return std::nullopt;
  m.accept();
  for (;;) {
    beast::flat_buffer reply;
    if (m.run(deadline, [&](auto done) { m.ws->async_read(reply, done); }))
      return std::nullopt;
    std::string got = beast::buffers_to_string(reply.data());
    if (got.find(fragment) != std::string::npos) return got;
  }
}

void Upstream_Server::drop() { impl_->close(); }

}  // namespace wire
