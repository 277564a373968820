#include "tests/support/upstream_server.h"

#include <sys/socket.h>

#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>

#include "tests/support/file_server.h"

namespace wire {

namespace net = boost::asio;
namespace beast = boost::beast;
using beast::error_code;
using Clock = std::chrono::steady_clock;

namespace {

// Whether the request waiting on `fd` is a GET, as a WebSocket upgrade is
// (the agent's uploads are PUTs and HEADs). Only peeked at: whoever serves
// the connection reads it whole.
bool is_get(int fd) {
  timeval limit{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char method[4];
  return ::recv(fd, method, sizeof method, MSG_PEEK | MSG_WAITALL) == 4 &&
         std::string(method, 4) == "GET ";
}

}  // namespace

// Everything runs on the caller's thread, inside the calls: connections are
// accepted while a call runs; a WebSocket waits in `waiting` until
// wait_connections takes it.
struct Upstream_Server::Impl {
  // First member: destroyed last, after the stream that uses it.
  net::io_context ioc;
  net::ip::tcp::acceptor acceptor{ioc, {net::ip::make_address("127.0.0.1"), 0}};
  std::optional<net::ssl::context> tls;
  // One of them holds the current connection.
  std::optional<beast::websocket::stream<beast::tcp_stream>> ws;
  std::optional<beast::websocket::stream<beast::ssl_stream<beast::tcp_stream>>> wss;
  std::deque<net::ip::tcp::socket> waiting;
  File_Server* http = nullptr;
  bool accepting = false;
  std::size_t connections = 0;

  template <class F>
  void with_connection(F f) {
    if (ws) f(*ws);
    if (wss) f(*wss);
  }
  void accept() {
    if (accepting) return;
    accepting = true;
    acceptor.async_accept([this](error_code ec, net::ip::tcp::socket s) {
      accepting = false;
      if (ec) return;
      if (http && !tls && !is_get(s.native_handle()))
        http->adopt(s.release());
      else
        waiting.push_back(std::move(s));
      accept();
    });
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
    accept();
    start([&](error_code e, auto&&...) { ec = e, done = true; });
    ioc.restart();
    while (!done && ioc.run_one_until(deadline) > 0) {
    }
    if (!done) close();
    return done ? ec : beast::error::timeout;
  }
};

Upstream_Server::Upstream_Server(File_Server* http, const Tls_Identity* tls) : impl_(new Impl) {
  impl_->http = http;
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
    m.accept();
    m.ioc.restart();
    while (m.waiting.empty() && m.ioc.run_one_until(deadline) > 0) {
    }
    if (m.waiting.empty()) return false;
    net::ip::tcp::socket socket = std::move(m.waiting.front());
    m.waiting.pop_front();
    error_code ec;
    if (m.tls) {
      m.wss.emplace(std::move(socket), *m.tls);
      ec = m.run(deadline, [&](auto done) {
        m.wss->next_layer().async_handshake(net::ssl::stream_base::server, [&m, done](error_code e) {
          if (e) return done(e);
          m.wss->async_accept(done);
        });
      });
    } else {
      m.ws.emplace(std::move(socket));
      ec = m.run(deadline, [&](auto done) { m.ws->async_accept(done); });
    }
    if (ec == beast::error::timeout) return false;
    m.connections += !ec;
  }
  return true;
}

bool Upstream_Server::send(const std::string& text, std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  bool sent = false;
  m.with_connection([&](auto& c) {
    c.text(true);
    sent = !m.run(Clock::now() + timeout,
                  [&](auto done) { c.async_write(net::buffer(text), done); });
  });
  return sent;
}

bool Upstream_Server::send_binary(const std::string& bytes,
                                  std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  bool sent = false;
  m.with_connection([&](auto& c) {
    c.binary(true);
    sent = !m.run(Clock::now() + timeout,
                  [&](auto done) { c.async_write(net::buffer(bytes), done); });
    c.text(true);
  });
  return sent;
}

int Upstream_Server::read_close_code(std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  const auto deadline = Clock::now() + timeout;
  int code = -1;
  m.with_connection([&](auto& c) {
    for (;;) {
      beast::flat_buffer message;
      const error_code ec = m.run(deadline, [&](auto done) { c.async_read(message, done); });
      if (!ec) continue;
      if (ec == beast::websocket::error::closed) code = c.reason().code;
      return;
    }
  });
  return code;
}

std::optional<std::string> Upstream_Server::exchange(const std::string& text,
                                                     std::chrono::milliseconds timeout,
                                                     const std::string& fragment) {
  Impl& m = *impl_;
  const auto deadline = Clock::now() + timeout;
  // Without a connection nothing is sent or read.
  if (!text.empty() && !send(text, timeout)) return std::nullopt;
  std::optional<std::string> answer;
  m.with_connection([&](auto& c) {
    for (;;) {
      beast::flat_buffer reply;
      if (m.run(deadline, [&](auto done) { c.async_read(reply, done); })) return;
      std::string got = beast::buffers_to_string(reply.data());
      if (got.find(fragment) != std::string::npos) return void(answer = got);
    }
  });
  return answer;
}

void Upstream_Server::drop() { impl_->close(); }

}  // namespace wire
