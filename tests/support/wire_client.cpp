#include "tests/support/wire_client.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <deque>

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
using Clock = std::chrono::steady_clock;

bool No_Case_Less::operator()(const std::string& a,
                              const std::string& b) const {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](unsigned char x, unsigned char y) {
        return std::tolower(x) < std::tolower(y);
      });
}

namespace {

// Follows the frame headers of the server's byte stream, so a test can see
// how a message was cut into frames (Beast hands out only whole messages).
class Frame_Counter {
 public:
  void feed(const unsigned char* p, std::size_t n) {
    while (n > 0) {
      if (payload_left_ > 0) {
        std::size_t skip =
            static_cast<std::size_t>(std::min<std::uint64_t>(n, payload_left_));
        p += skip;
        n -= skip;
        payload_left_ -= skip;
        continue;
      }
      header_[have_++] = *p++;
      --n;
      if (have_ == 2) {
        unsigned len7 = header_[1] & 0x7F;
        need_ = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) +
                ((header_[1] & 0x80) ? 4 : 0);
      }
      if (have_ < need_) continue;
      std::uint64_t len = header_[1] & 0x7F;
      if (len >= 126) {
        std::size_t bytes = len == 126 ? 2 : 8;
        len = 0;
        for (std::size_t i = 0; i < bytes; ++i) len = (len << 8) | header_[2 + i];
      }
      unsigned opcode = header_[0] & 0x0F;
      bool fin = (header_[0] & 0x80) != 0;
      if (opcode < 8) {  // control frames interleave but carry no message
        ++frames_;
        if (fin) {
          done_.push_back(frames_);
          frames_ = 0;
        }
      }
      payload_left_ = len;
      have_ = 0;
      need_ = 2;
    }
  }
  std::size_t pop() {
    if (done_.empty()) return 0;
    std::size_t n = done_.front();
    done_.pop_front();
    return n;
  }

 private:
  unsigned char header_[14] = {};
  std::size_t have_ = 0;
  std::size_t need_ = 2;
  std::uint64_t payload_left_ = 0;
  std::size_t frames_ = 0;
  std::deque<std::size_t> done_;
};

// A TCP socket that shows the bytes it reads to a Frame_Counter on their
// way up to the WebSocket layer.
class Counting_Socket {
 public:
  using executor_type = tcp::socket::executor_type;
  using next_layer_type = tcp::socket;

  explicit Counting_Socket(net::io_context& ioc) : socket_(ioc) {}
  executor_type get_executor() noexcept { return socket_.get_executor(); }
  tcp::socket& next_layer() { return socket_; }
  void count_into(Frame_Counter* counter) { counter_ = counter; }

  template <class Buffers, class Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    socket_.async_read_some(
        buffers, [this, buffers, h = std::forward<Handler>(handler)](
                     error_code ec, std::size_t n) mutable {
          if (counter_)
            for (auto b :
                 beast::buffers_range(beast::buffers_prefix(n, buffers)))
              counter_->feed(static_cast<const unsigned char*>(b.data()),
                             b.size());
          std::move(h)(ec, n);
        });
  }
  template <class Buffers, class Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    socket_.async_write_some(buffers, std::forward<Handler>(handler));
  }

 private:
  tcp::socket socket_;
  Frame_Counter* counter_ = nullptr;
};

template <class Handler>
void async_teardown(beast::role_type role, Counting_Socket& s,
                    Handler&& handler) {
  websocket::async_teardown(role, s.next_layer(),
                            std::forward<Handler>(handler));
}

}  // namespace

struct Wire_Client::Impl {
  // First member: destroyed last, after every socket that uses it.
  net::io_context ioc;
  std::string host;
  unsigned short port;
  std::chrono::milliseconds timeout;
  std::string error;

  std::optional<tcp::socket> http;
  beast::flat_buffer http_buffer;
  std::deque<std::string> sent_methods;  // of responses not yet read
  std::size_t opened = 0;

  std::unique_ptr<websocket::stream<Counting_Socket>> ws;
  beast::flat_buffer ws_buffer;
  Frame_Counter frames;
  bool ws_reading = false;
  bool ws_read_done = false;
  error_code ws_read_ec;
  std::size_t last_frames = 0;
  int handshake_status = 0;

  Impl(std::string h, unsigned short p, std::chrono::milliseconds t)
      : host(std::move(h)), port(p), timeout(t) {}

  ~Impl() {
    close_http();
    drop_ws();
  }

  bool run_until(const bool& done, Clock::time_point deadline) {
    ioc.restart();
    while (!done && ioc.run_one_until(deadline) > 0) {
    }
    return done;
  }

  // Runs the loop until an operation completes. Past the client's timeout
  // it aborts the operation and still waits for its handler, so no handler
  // outlives the caller's frame it refers to.
  bool complete(const bool& done, const std::function<void()>& abort) {
    if (run_until(done, Clock::now() + timeout)) return true;
    abort();
    run_until(done, Clock::now() + std::chrono::seconds(5));
    error = "timed out";
    return false;
  }

  bool connect(tcp::socket& socket) {
    error_code ec;
    auto address = net::ip::make_address(host == "localhost" ? "127.0.0.1" : host, ec);
    if (ec) {
      error = "bad address " + host;
      return false;
    }
    bool done = false;
    socket.async_connect(tcp::endpoint(address, port), [&](error_code e) {
      ec = e;
      done = true;
    });
    if (!complete(done, [&] { socket.close(ec); })) return false;
    if (ec) {
      error = "connect: " + ec.message();
      return false;
    }
    socket.set_option(tcp::no_delay(true), ec);
    return true;
  }

  void close_http() {
    if (http) {
      error_code ignored;
      http->shutdown(tcp::socket::shutdown_both, ignored);
      http->close(ignored);
    }
    http.reset();
    http_buffer.clear();
    sent_methods.clear();
  }

  bool ensure_http() {
    if (http && http->is_open()) return true;
    close_http();
    http.emplace(ioc);
    ++opened;
    if (connect(*http)) return true;
    close_http();
    return false;
  }

  bool send(const std::string& method, const std::string& target,
            const std::string& body, const Header_List& headers) {
    if (!ensure_http()) return false;
    http::request<http::string_body> req;
    http::verb verb = http::string_to_verb(method);
    if (verb == http::verb::unknown)
      req.method_string(method);
    else
      req.method(verb);
    req.target(target);
    req.version(11);
    req.set(http::field::host, host + ":" + std::to_string(port));
    bool typed = false;
    for (const auto& h : headers) {
      req.insert(h.first, h.second);
      typed = typed || beast::iequals(h.first, "Content-Type");
    }
    if (!body.empty() && !typed)
      req.set(http::field::content_type, "application/json");
    req.body() = body;
    req.prepare_payload();

    bool done = false;
    error_code ec;
    http::async_write(*http, req, [&](error_code e, std::size_t) {
      ec = e;
      done = true;
    });
    if (!complete(done, [&] { http->close(ec); })) {
      close_http();
      return false;
    }
    if (ec) {
      error = "write: " + ec.message();
      close_http();
      return false;
    }
    sent_methods.push_back(method);
    return true;
  }

  Http_Response receive(const Body_Piece_Callback& on_piece) {
    Http_Response out;
    if (!http || sent_methods.empty()) {
      out.error = error = "no request outstanding";
      return out;
    }
    bool head = beast::iequals(sent_methods.front(), "HEAD");
    sent_methods.pop_front();

    http::response_parser<http::string_body> parser;
    parser.body_limit(boost::none);
    if (head) parser.skip(true);
    auto on_header = [&](std::uint64_t size, beast::string_view,
                         error_code&) {
      if (size > 0) ++out.chunk_count;
    };
    auto on_body = [&](std::uint64_t, beast::string_view piece,
                       error_code&) -> std::size_t {
      out.body.append(piece.data(), piece.size());
      if (on_piece) on_piece(std::string_view(piece.data(), piece.size()));
      return piece.size();
    };
    parser.on_chunk_header(on_header);
    parser.on_chunk_body(on_body);

    bool done = false;
    error_code ec;
    http::async_read(*http, http_buffer, parser,
                     [&](error_code e, std::size_t) {
                       ec = e;
                       done = true;
                     });
    if (!complete(done, [&] { http->close(ec); })) {
      out.error = error;
      close_http();
      return out;
    }
    if (ec) {
      out.error = error = "read: " + ec.message();
      close_http();
      return out;
    }
    auto& msg = parser.get();
    out.ok = true;
    out.status = static_cast<int>(msg.result_int());
    out.reason = std::string(msg.reason());
    for (const auto& f : msg) {
      std::string name(f.name_string());
      std::string value(f.value());
      auto it = out.headers.find(name);
      if (it == out.headers.end())
        out.headers.emplace(std::move(name), std::move(value));
      else
        it->second += ", " + value;
    }
    out.chunked = parser.chunked();
    out.keep_alive = parser.keep_alive();
    if (!out.chunked) {
      out.body = std::move(msg.body());
      if (on_piece && !out.body.empty()) on_piece(out.body);
    }
    if (!out.keep_alive) close_http();
    return out;
  }

  void drop_ws() {
    if (!ws) return;
    error_code ignored;
    beast::get_lowest_layer(*ws).close(ignored);
    if (ws_reading) run_until(ws_read_done, Clock::now() + std::chrono::seconds(5));
    ws.reset();
    ws_reading = false;
    ws_buffer.clear();
    frames = Frame_Counter();
  }

  bool ws_connect(const std::string& target, const Header_List& headers) {
    drop_ws();
    handshake_status = 0;
    ws = std::make_unique<websocket::stream<Counting_Socket>>(ioc);
    ws->read_message_max(0);
    if (!connect(beast::get_lowest_layer(*ws))) {
      drop_ws();
      return false;
    }
    ws->set_option(websocket::stream_base::decorator(
        [headers](websocket::request_type& req) {
          for (const auto& h : headers) req.insert(h.first, h.second);
        }));
    websocket::response_type res;
    res.result(0);  // stays 0 unless the server answers
    bool done = false;
    error_code ec;
    ws->async_handshake(res, host + ":" + std::to_string(port), target,
                        [&](error_code e) {
                          ec = e;
                          done = true;
                        });
    bool in_time =
        complete(done, [&] { beast::get_lowest_layer(*ws).close(ec); });
    handshake_status = static_cast<int>(res.result_int());
    if (!in_time || ec) {
      if (in_time) error = "handshake: " + ec.message();
      drop_ws();
      return false;
    }
    // The server speaks only after we do, so no frame was read with the
    // handshake reply and counting can start here.
    ws->next_layer().count_into(&frames);
    return true;
  }

  bool ws_send(const std::string& text) {
    if (!ws || !ws->is_open()) {
      error = "websocket not open";
      return false;
    }
    ws->text(true);
    bool done = false;
    error_code ec;
    ws->async_write(net::buffer(text), [&](error_code e, std::size_t) {
      ec = e;
      done = true;
    });
    if (!complete(done, [&] { beast::get_lowest_layer(*ws).close(ec); })) {
      drop_ws();
      return false;
    }
    if (ec) {
      error = "websocket write: " + ec.message();
      return false;
    }
    return true;
  }

  std::optional<std::string> ws_receive(std::chrono::milliseconds wait) {
    if (!ws) {
      error = "websocket not open";
      return std::nullopt;
    }
    if (!ws_reading) {
      ws_reading = true;
      ws_read_done = false;
      ws->async_read(ws_buffer, [this](error_code e, std::size_t) {
        ws_read_ec = e;
        ws_read_done = true;
      });
    }
    if (!run_until(ws_read_done, Clock::now() + wait)) {
      error = "timed out";
      return std::nullopt;
    }
    ws_reading = false;
    if (ws_read_ec) {
      error = ws_read_ec == websocket::error::closed
                  ? std::string("closed by the server")
                  : "websocket read: " + ws_read_ec.message();
      return std::nullopt;
    }
    std::string text = beast::buffers_to_string(ws_buffer.data());
    ws_buffer.consume(ws_buffer.size());
    last_frames = frames.pop();
    return text;
  }

  bool ws_close() {
    if (!ws || !ws->is_open()) {
      drop_ws();
      return false;
    }
    bool done = false;
    error_code ec;
    ws->async_close(websocket::close_code::normal, [&](error_code e) {
      ec = e;
      done = true;
    });
    bool ok = complete(done, [&] { beast::get_lowest_layer(*ws).close(ec); });
    if (ok && ec) {
      error = "websocket close: " + ec.message();
      ok = false;
    }
    drop_ws();
    return ok;
  }
};

Wire_Client::Wire_Client(std::string host, unsigned short port,
                         std::chrono::milliseconds timeout)
    : impl_(std::make_unique<Impl>(std::move(host), port, timeout)) {}

Wire_Client::~Wire_Client() = default;

void Wire_Client::set_timeout(std::chrono::milliseconds timeout) {
  impl_->timeout = timeout;
}

Http_Response Wire_Client::request(const std::string& method,
                                   const std::string& target,
                                   const std::string& body,
                                   const Header_List& headers,
                                   const Body_Piece_Callback& on_piece) {
  if (!send_request(method, target, body, headers)) {
    Http_Response failed;
    failed.error = impl_->error;
    return failed;
  }
  return read_response(on_piece);
}

bool Wire_Client::send_request(const std::string& method,
                               const std::string& target,
                               const std::string& body,
                               const Header_List& headers) {
  return impl_->send(method, target, body, headers);
}

Http_Response Wire_Client::read_response(const Body_Piece_Callback& on_piece) {
  return impl_->receive(on_piece);
}

void Wire_Client::disconnect() { impl_->close_http(); }

bool Wire_Client::connected() const {
  return impl_->http && impl_->http->is_open();
}

std::size_t Wire_Client::connections_opened() const { return impl_->opened; }

bool Wire_Client::ws_connect(const std::string& target,
                             const Header_List& headers) {
  return impl_->ws_connect(target, headers);
}

bool Wire_Client::ws_send(const std::string& text) {
  return impl_->ws_send(text);
}

std::optional<std::string> Wire_Client::ws_receive(
    std::chrono::milliseconds timeout) {
  return impl_->ws_receive(timeout);
}

std::size_t Wire_Client::ws_last_frame_count() const {
  return impl_->last_frames;
}

bool Wire_Client::ws_close() { return impl_->ws_close(); }

bool Wire_Client::ws_open() const {
  return impl_->ws && impl_->ws->is_open();
}

int Wire_Client::ws_handshake_status() const { return impl_->handshake_status; }

const std::string& Wire_Client::last_error() const { return impl_->error; }

}  // namespace wire
