#include "tests/support/upstream_server.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

namespace wire {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

struct Upstream_Server::Impl {
  net::io_context ioc;
  tcp::acceptor acceptor{ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)};
  std::shared_ptr<websocket::stream<tcp::socket>> ws;
  beast::flat_buffer buffer;
  std::mutex lock;
  std::condition_variable changed;
  std::size_t connections = 0;
  std::deque<std::string> received;
  std::thread runner;

  void accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) return;
      auto stream = std::make_shared<websocket::stream<tcp::socket>>(std::move(socket));
      stream->async_accept([this, stream](beast::error_code ec) {
        if (ec) return accept();
        ws = stream;
        {
          std::lock_guard<std::mutex> g(lock);
          ++connections;
        }
        changed.notify_all();
        read(stream);
      });
    });
  }

  // The next connection is accepted once the current one ends.
  void read(const std::shared_ptr<websocket::stream<tcp::socket>>& stream) {
    stream->async_read(buffer, [this, stream](beast::error_code ec, std::size_t) {
      if (ec) {
        if (ws == stream) ws.reset();
        return accept();
      }
      {
        std::lock_guard<std::mutex> g(lock);
        received.push_back(beast::buffers_to_string(buffer.data()));
      }
      buffer.consume(buffer.size());
      changed.notify_all();
      read(stream);
    });
  }
};

Upstream_Server::Upstream_Server() : impl_(new Impl) {
  impl_->accept();
  impl_->runner = std::thread([this] { impl_->ioc.run(); });
}

Upstream_Server::~Upstream_Server() {
  impl_->ioc.stop();
  impl_->runner.join();
}

unsigned short Upstream_Server::port() const {
  return impl_->acceptor.local_endpoint().port();
}

bool Upstream_Server::wait_connections(std::size_t n,
                                       std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(impl_->lock);
  return impl_->changed.wait_for(g, timeout,
                                 [&] { return impl_->connections >= n; });
}

bool Upstream_Server::send(const std::string& text) {
  std::promise<bool> sent;
  net::post(impl_->ioc, [&] {
    if (!impl_->ws) return sent.set_value(false);
    beast::error_code ec;
    impl_->ws->text(true);
    impl_->ws->write(net::buffer(text), ec);  // small, on the io thread
    sent.set_value(!ec);
  });
  return sent.get_future().get();
}

std::optional<std::string> Upstream_Server::receive(
    std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(impl_->lock);
  if (!impl_->changed.wait_for(g, timeout, [&] { return !impl_->received.empty(); }))
    return std::nullopt;
  std::string text = impl_->received.front();
  impl_->received.pop_front();
  return text;
}

void Upstream_Server::drop() {
  std::promise<void> done;
  net::post(impl_->ioc, [&] {
    if (impl_->ws) {
      beast::error_code ignored;
      impl_->ws->next_layer().shutdown(tcp::socket::shutdown_both, ignored);
      impl_->ws->next_layer().close(ignored);
    }
    done.set_value();
  });
  done.get_future().get();
}

}  // namespace wire
