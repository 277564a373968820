#include "bench/echo_server.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace wire {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using beast::error_code;

namespace {

// The answer to `request`: the request itself, or, when it asks for a
// "size", a reply of that many bytes with its id, as a large result would be.
std::string echo_reply(const std::string& request) {
  std::size_t at = request.find("\"size\":");
  if (at == std::string::npos) return request;
  std::size_t size = std::strtoul(request.c_str() + at + 7, nullptr, 10);
  std::size_t id_at = request.find("\"id\":");
  std::string id = id_at == std::string::npos
                       ? "null"
                       : request.substr(id_at + 5, request.find_first_of(",}", id_at) - id_at - 5);
  std::string head = "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":\"";
  std::size_t fill = size > head.size() + 2 ? size - head.size() - 2 : 0;
  return head + std::string(fill, 'x') + "\"}";
}

class Ws_Session : public std::enable_shared_from_this<Ws_Session> {
 public:
  explicit Ws_Session(tcp::socket socket) : ws_(std::move(socket)) {}

  void accept(http::request<http::string_body> req) {
    ws_.read_message_max(0);
    ws_.async_accept(req, [self = shared_from_this()](error_code ec) {
      if (!ec) self->read();
    });
  }

 private:
  void read() {
    ws_.async_read(buffer_, [self = shared_from_this()](error_code ec,
                                                         std::size_t) {
      if (ec) return;
      self->ws_.text(self->ws_.got_text());
      auto reply = std::make_shared<std::string>(
          echo_reply(beast::buffers_to_string(self->buffer_.data())));
      self->buffer_.consume(self->buffer_.size());
      self->ws_.async_write(
          net::buffer(*reply), [self, reply](error_code ec2, std::size_t) {
            if (ec2) return;
            self->read();
          });
    });
  }

  websocket::stream<tcp::socket> ws_;
  beast::flat_buffer buffer_;
};

class Http_Session : public std::enable_shared_from_this<Http_Session> {
 public:
  explicit Http_Session(tcp::socket socket) : socket_(std::move(socket)) {}

  void read() {
    req_ = {};
    http::async_read(socket_, buffer_, req_,
                     [self = shared_from_this()](error_code ec, std::size_t) {
                       if (!ec) self->answer();
                     });
  }

 private:
  void answer() {
    if (websocket::is_upgrade(req_))
      return std::make_shared<Ws_Session>(std::move(socket_))->accept(std::move(req_));
    auto res = std::make_shared<http::response<http::string_body>>(http::status::ok,
                                                                   req_.version());
    res->set(http::field::content_type, "application/json");
    res->keep_alive(req_.keep_alive());
    res->body() = echo_reply(req_.body());
    res->prepare_payload();
    http::async_write(socket_, *res,
                      [self = shared_from_this(), res](error_code ec,
                                                       std::size_t) {
                        self->next(ec, res->need_eof());
                      });
  }

  void next(error_code ec, bool close) {
    if (ec || close) {
      socket_.shutdown(tcp::socket::shutdown_send, ec);
      return;
    }
    read();
  }

  tcp::socket socket_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> req_;
};

}  // namespace

struct Echo_Server::Impl {
  net::io_context ioc;
  tcp::acceptor acceptor{ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)};
  std::vector<std::thread> threads;

  void accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket socket) {
      if (ec) return;
      error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      std::make_shared<Http_Session>(std::move(socket))->read();
      accept();
    });
  }
};

Echo_Server::Echo_Server(unsigned threads) : impl_(std::make_unique<Impl>()) {
  impl_->accept();
  for (unsigned i = 0; i < std::max(threads, 1u); ++i)
    impl_->threads.emplace_back([this] { impl_->ioc.run(); });
}

Echo_Server::~Echo_Server() {
  impl_->ioc.stop();
  for (auto& t : impl_->threads) t.join();
}

unsigned short Echo_Server::port() const {
  return impl_->acceptor.local_endpoint().port();
}

}  // namespace wire
