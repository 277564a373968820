#include "tests/support/echo_server.h"

#include <algorithm>
#include <cstdlib>
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

std::size_t field_number(const http::request<http::string_body>& req,
                         beast::string_view name) {
  auto it = req.find(name);
  if (it == req.end()) return 0;
  return std::strtoul(std::string(it->value()).c_str(), nullptr, 10);
}

class Ws_Session : public std::enable_shared_from_this<Ws_Session> {
 public:
  explicit Ws_Session(tcp::socket socket) : ws_(std::move(socket)) {}

  void accept(http::request<http::string_body> req) {
    if (std::size_t fragment = field_number(req, "X-Echo-Fragment")) {
      ws_.auto_fragment(true);
      ws_.write_buffer_bytes(std::max<std::size_t>(fragment, 8));
    }
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
      self->ws_.async_write(
          self->buffer_.data(), [self](error_code ec2, std::size_t) {
            if (ec2) return;
            self->buffer_.consume(self->buffer_.size());
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
    std::size_t status = field_number(req_, "X-Echo-Status");
    if (websocket::is_upgrade(req_) && status == 0) {
      std::make_shared<Ws_Session>(std::move(socket_))->accept(std::move(req_));
      return;
    }
    if (status == 0) status = 200;
    std::size_t chunks = field_number(req_, "X-Echo-Chunks");

    auto res = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(status), req_.version());
    auto type = req_.find(http::field::content_type);
    res->set(http::field::content_type,
             type == req_.end() ? beast::string_view("application/json")
                                : type->value());
    for (const auto& f : req_)
      if (f.name_string().size() > 2 &&
          beast::iequals(f.name_string().substr(0, 2), "X-"))
        res->insert(f.name_string(), f.value());
    res->keep_alive(req_.keep_alive());
    if (chunks > 0) return answer_chunked(std::move(res), chunks);
    res->body() = req_.body();
    res->prepare_payload();
    http::async_write(socket_, *res,
                      [self = shared_from_this(), res](error_code ec,
                                                       std::size_t) {
                        self->next(ec, res->need_eof());
                      });
  }

  void answer_chunked(
      std::shared_ptr<http::response<http::string_body>> res,
      std::size_t chunks) {
    const std::string& body = req_.body();
    std::size_t size = (body.size() + chunks - 1) / chunks;
    pieces_.clear();
    for (std::size_t at = 0; at < body.size(); at += size)
      pieces_.push_back(body.substr(at, size));
    res->chunked(true);
    // The header goes out alone; each piece follows as its own chunk.
    chunked_res_ = std::move(res);
    header_ = std::make_unique<http::response_serializer<http::string_body>>(
        *chunked_res_);
    http::async_write_header(
        socket_, *header_,
        [self = shared_from_this()](error_code ec, std::size_t) {
          if (!ec) self->write_chunk(0, self->chunked_res_->need_eof());
        });
  }

  void write_chunk(std::size_t i, bool close) {
    auto self = shared_from_this();
    auto done = [self, i, close](error_code ec, std::size_t) {
      if (ec) return;
      if (i < self->pieces_.size())
        self->write_chunk(i + 1, close);
      else
        self->next(ec, close);
    };
    if (i < pieces_.size())
      net::async_write(socket_, http::make_chunk(net::buffer(pieces_[i])),
                       done);
    else
      net::async_write(socket_, http::make_chunk_last(), done);
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
  std::shared_ptr<http::response<http::string_body>> chunked_res_;
  std::unique_ptr<http::response_serializer<http::string_body>> header_;
  std::vector<std::string> pieces_;
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
