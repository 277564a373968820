#include "tests/support/wire_client.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

namespace wire {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using beast::error_code;
using Clock = std::chrono::steady_clock;

struct Wire_Client::Impl {
  // First member: destroyed last, after every stream that uses it.
  net::io_context ioc;
  std::string host;
  unsigned short port;
  std::chrono::milliseconds timeout;
  int receive_buffer = 0, max_segment = 0;
  std::string error;

  std::optional<beast::tcp_stream> http;
  beast::flat_buffer http_buffer;

  std::optional<websocket::stream<beast::tcp_stream>> ws;
  // The message being read survives a ws_receive that timed out.
  std::string message, piece = std::string(65536, '\0');
  std::uint64_t frame_left = 0;
  std::size_t frames = 0, last_frames = 0;
  bool reading = false, read_done = false;
  error_code read_ec;

  Impl(std::string h, unsigned short p, std::chrono::milliseconds t)
      : host(std::move(h)), port(p), timeout(t) {}
  ~Impl() {
    close_http();
    drop_ws();
  }

  bool failed(const std::string& what, error_code ec) {
    error = ec == beast::error::timeout ? "timed out" : what + ": " + ec.message();
    return false;
  }

  bool run_until(const bool& done, Clock::time_point deadline) {
    ioc.restart();
    while (!done && ioc.run_one_until(deadline) > 0) {
    }
    return done;
  }

  // Runs one operation to its end, bounded by the stream's expiry and by
  // `deadline` (which also bounds the wait for a pending read, which has no
  // expiry).
  template <class Start>
  error_code await(beast::tcp_stream& s, Start start,
                   Clock::time_point deadline = Clock::time_point::max()) {
    error_code ec;
    bool done = false;
    s.expires_after(timeout);
    start([&](error_code e, auto&&...) { ec = e, done = true; });
    return run_until(done, deadline) ? ec : error_code(beast::error::timeout);
  }

  bool connect(beast::tcp_stream& s) {
    const net::ip::tcp::endpoint to(net::ip::make_address(host), port);
    error_code ec;
    if (receive_buffer > 0 || max_segment > 0) {
      s.socket().open(to.protocol(), ec);
      if (!ec && receive_buffer > 0)
        s.socket().set_option(net::socket_base::receive_buffer_size(receive_buffer), ec);
      if (!ec && max_segment > 0 &&
          ::setsockopt(s.socket().native_handle(), IPPROTO_TCP, TCP_MAXSEG, &max_segment,
                       sizeof max_segment) != 0)
        ec = error_code(errno, boost::system::system_category());
      if (ec) return failed("socket", ec);
    }
    ec = await(s, [&](auto done) { s.async_connect(to, done); });
    if (ec) return failed("connect", ec);
    s.socket().set_option(net::ip::tcp::no_delay(true), ec);
    return true;
  }

  void close_http() {
    if (http) http->close();
    http.reset();
    http_buffer.clear();
  }

  // Closes the socket and lets every pending handler run.
  void drop_ws() {
    if (!ws) return;
    beast::get_lowest_layer(*ws).close();
    ioc.restart();
    ioc.run_for(std::chrono::seconds(5));
    ws.reset();
    reading = false;
    message.clear();
    frames = frame_left = 0;
  }

  // Beast never reads past the end of a frame in one read_some. Reading
  // one byte of each new frame first lets read_size_hint tell how much of
  // it is left: the hints for 1 and 2 agree unless a fragment (not the
  // last one) has one byte left or none, taken as none, so a fragment of
  // two bytes counts twice.
  void start_read() {
    const bool first = frame_left == 0;
    const std::size_t size =
        first ? 1 : static_cast<std::size_t>(std::min<std::uint64_t>(frame_left, piece.size()));
    reading = true;
    read_done = false;
    ws->async_read_some(net::buffer(&piece[0], size), [this, first](error_code ec, std::size_t n) {
      read_ec = ec;
      read_done = true;
      message.append(piece, 0, n);
      frame_left -= first ? 0 : n;
      if (first && !ec) {
        ++frames;
        std::size_t one = ws->read_size_hint(1), two = ws->read_size_hint(2);
        frame_left = ws->is_message_done() || one != two ? 0 : one;
      }
    });
  }
};

Wire_Client::Wire_Client(std::string host, unsigned short port,
                         std::chrono::milliseconds timeout)
    : impl_(std::make_unique<Impl>(std::move(host), port, timeout)) {}

Wire_Client::~Wire_Client() = default;

Http_Response Wire_Client::request(const std::string& method, const std::string& target,
                                   const std::string& body, const Header_List& headers) {
  return send_request(method, target, body, headers) ? read_response() : Http_Response();
}

bool Wire_Client::send_request(const std::string& method, const std::string& target,
                               const std::string& body, const Header_List& headers) {
  Impl& m = *impl_;
  if (!m.http || !m.http->socket().is_open()) {
    m.close_http();
    m.http.emplace(m.ioc);
    if (!m.connect(*m.http)) return m.close_http(), false;
  }
  http::request<http::string_body> req;
  req.method_string(method);  // a verb Beast knows, or the text as given
  req.target(target);
  req.set(http::field::host, m.host + ":" + std::to_string(m.port));
  for (const auto& h : headers) req.insert(h.first, h.second);
  if (!body.empty() && !req.count(http::field::content_type))
    req.set(http::field::content_type, "application/json");
  req.body() = body;
  req.prepare_payload();
  error_code ec = m.await(*m.http, [&](auto done) { http::async_write(*m.http, req, done); });
  if (ec) return m.close_http(), m.failed("write", ec);
  return true;
}

Http_Response Wire_Client::read_response() {
  Impl& m = *impl_;
  Http_Response out;
  if (!m.http) return m.error = "no connection", out;
  http::response_parser<http::string_body> parser;
  parser.body_limit(boost::none);
  auto on_chunk = [&](std::uint64_t size, beast::string_view, error_code&) {
    out.chunk_count += size > 0;
  };
  auto on_piece = [&](std::uint64_t, beast::string_view p, error_code&) {
    return out.body.append(p.data(), p.size()), p.size();
  };
  parser.on_chunk_header(on_chunk);
  parser.on_chunk_body(on_piece);
  error_code ec = m.await(
      *m.http, [&](auto done) { http::async_read(*m.http, m.http_buffer, parser, done); });
  if (ec) return m.close_http(), m.failed("read", ec), out;
  auto& msg = parser.get();
  out.ok = true;
  out.status = static_cast<int>(msg.result_int());
  out.keep_alive = parser.keep_alive();
  if (!parser.chunked()) out.body = std::move(msg.body());
  if (!out.keep_alive) m.close_http();
  return out;
}

void Wire_Client::disconnect() { impl_->close_http(); }

bool Wire_Client::ws_connect(const std::string& target) {
  Impl& m = *impl_;
  m.drop_ws();
  m.ws.emplace(m.ioc);
  m.ws->read_message_max(0);
  auto& tcp = beast::get_lowest_layer(*m.ws);
  if (!m.connect(tcp)) return m.drop_ws(), false;
  error_code ec = m.await(tcp, [&](auto done) {
    m.ws->async_handshake(m.host + ":" + std::to_string(m.port), target, done);
  });
  if (ec) return m.drop_ws(), m.failed("handshake", ec);
  return true;
}

bool Wire_Client::ws_send(const std::string& text) {
  Impl& m = *impl_;
  if (!m.ws || !m.ws->is_open()) return m.error = "websocket not open", false;
  m.ws->text(true);
  error_code ec = m.await(beast::get_lowest_layer(*m.ws), [&](auto done) {
    m.ws->async_write(net::buffer(text), done);
  });
  if (ec) return m.drop_ws(), m.failed("websocket write", ec);
  return true;
}

std::optional<std::string> Wire_Client::ws_receive(std::chrono::milliseconds timeout) {
  Impl& m = *impl_;
  if (!m.ws) return m.error = "websocket not open", std::nullopt;
  const auto deadline = Clock::now() + timeout;
  // A read stays pending past a timeout, so the stream gets no expiry.
  beast::get_lowest_layer(*m.ws).expires_never();
  for (;;) {
    if (!m.reading) m.start_read();
    if (!m.run_until(m.read_done, deadline)) return m.error = "timed out", std::nullopt;
    m.reading = false;
    if (m.read_ec == websocket::error::closed)
      return m.error = "closed by the server", std::nullopt;
    if (m.read_ec) return m.failed("websocket read", m.read_ec), std::nullopt;
    if (m.ws->is_message_done()) {
      m.last_frames = std::exchange(m.frames, 0);
      m.frame_left = 0;
      return std::exchange(m.message, std::string());
    }
  }
}

std::size_t Wire_Client::ws_last_frame_count() const { return impl_->last_frames; }

bool Wire_Client::ws_close() {
  Impl& m = *impl_;
  if (!m.ws || !m.ws->is_open()) return m.drop_ws(), false;
  error_code ec = m.await(
      beast::get_lowest_layer(*m.ws),
      [&](auto done) { m.ws->async_close(websocket::close_code::normal, done); },
      Clock::now() + m.timeout);
  m.drop_ws();
  return !ec || m.failed("websocket close", ec);
}

void Wire_Client::set_slow_link(int receive_buffer, int max_segment) {
  impl_->receive_buffer = receive_buffer;
  impl_->max_segment = max_segment;
}

const std::string& Wire_Client::last_error() const { return impl_->error; }

}  // namespace wire
