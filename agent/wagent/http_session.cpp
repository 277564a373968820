#include "agent/wagent/http_session.h"

#include <ace/Log_Msg.h>

#include <sstream>
#include <utility>

#include "agent/json_rpc/json_rpc_handler.h"
#include "agent/modsess/session.h"
#include "agent/restful/restful_handler.h"
#include "agent/wagent/http_rules.h"
#include "agent/wagent/ws_session.h"

namespace wagent {

std::string request_session_key(const Request& request, bool allow_query) {
  auto it = request.find("X-Session-Key");
  if (it != request.end()) return std::string(it->value());
  if (allow_query) {
    std::string target(request.target());
    std::string::size_type q = target.find('?');
    if (q != std::string::npos) {
      std::map<std::string, std::string> params;
      parse_query_string(target.substr(q + 1), params);
      auto p = params.find("session");
      if (p != params.end()) return p->second;
    }
  }
  return std::string();
}

std::shared_ptr<Response> text_response(const Request& request,
                                        http::status status,
                                        const std::string& text) {
  auto response = std::make_shared<Response>(status, request.version());
  response->set(http::field::content_type, "text/plain");
  response->keep_alive(request.keep_alive());
  response->body() = text;
  response->prepare_payload();
  return response;
}

Http_Session::Http_Session(Strand_Socket&& socket, Host_Context& context,
                           Io_Lanes::Lane& lane)
    : stream_(std::move(socket)),
      deadline_timer_(stream_.get_executor()),
      context_(context),
      lane_(lane),
      counted_(context),
      anonymous_(context) {
  beast::error_code ec;
  peer_ = stream_.socket().remote_endpoint(ec);
  peer_text_ = peer_.address().to_string();
}

void Http_Session::start() {
  net::dispatch(stream_.get_executor(),
                [self = shared_from_this()] { self->read(); });
}

void Http_Session::shut() {
  // Work still running for this connection learns that its requester has
  // gone, as if the client had closed.
  std::function<void()> gone;
  {
    std::lock_guard<std::mutex> guard(watch_lock_);
    gone.swap(on_gone_);
  }
  if (gone) gone();
  net::post(stream_.get_executor(), [self = shared_from_this()] {
    beast::error_code ignored;
    self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    self->stream_.close();
    self->deadline_timer_.cancel();
  });
}

void Http_Session::shut_unless_answering() {
  // Decided on the strand: a request already read is being answered, and
  // the connection closes itself after the reply, the host being stopping.
  net::post(stream_.get_executor(), [self = shared_from_this()] {
    if (self->reading_) self->shut();
  });
}

void Http_Session::read() {
  if (context_.stopping) return close();
  parser_.emplace();
  parser_->body_limit(context_.body_limit);
  parser_->header_limit(64 * 1024);
  head_only_ = false;
  // Covers the whole request, so a client that trickles its bytes is cut
  // off as surely as one that sends nothing.
  expire_after(context_.timeout);
  reading_ = true;
  http::async_read_header(stream_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec,
                                                      std::size_t) {
                            if (ec) return self->on_read(ec);
                            self->on_header(ec);
                          });
}

template <class Done>
void Http_Session::async_send(const std::shared_ptr<Response>& response,
                              Done&& done) {
  stamp_response(*response);
  expire_after(context_.timeout);
  if (!head_only_)
    return http::async_write(
        stream_, *response,
        [response, done = std::forward<Done>(done)](beast::error_code ec,
                                                    std::size_t n) { done(ec, n); });
  // The length stays what GET would have sent; only the bytes are left out.
  auto serializer = std::make_shared<http::response_serializer<http::string_body>>(*response);
  http::async_write_header(
      stream_, *serializer,
      [response, serializer, done = std::forward<Done>(done)](
          beast::error_code ec, std::size_t n) { done(ec, n); });
}

void Http_Session::reply_now(http::status status, const std::string& text,
                             bool keep) {
  reading_ = false;
  Request head;
  head.version(11);
  head.keep_alive(keep);
  auto response = text_response(head, status, text);
  async_send(response, [self = shared_from_this(), keep](beast::error_code ec,
                                                          std::size_t) {
    if (ec || !keep) return self->close();
    self->read();
  });
}

void Http_Session::on_header(beast::error_code) {
  Request& head = parser_->get();
  head_only_ = head.method() == http::verb::head;
  const Head_Verdict verdict = check_request_head(head, !parser_->is_done());
  switch (verdict) {
    case Head_Verdict::bad_host:
      return reply_now(http::status::bad_request,
                       "An HTTP/1.1 request needs exactly one Host header.\n", false);
    case Head_Verdict::bad_expect:
      return reply_now(http::status::expectation_failed,
                       "Only \"Expect: 100-continue\" is understood.\n", false);
    case Head_Verdict::send_continue:
    case Head_Verdict::serve:
      break;
  }
  const bool upgrade = websocket::is_upgrade(head);
  if (known_session(request_session_key(head, upgrade))) {
    anonymous_.release();
  } else if (!anonymous_.take()) {
    ACE_ERROR((LM_WARNING, "%N:%l: %d connections without a session, all "
                           "their share; refusing one from %C\n",
               int(context_.anonymous_connection_limit), peer_text_.c_str()));
    metrics::count_busy(metrics::BUSY_CONNECTIONS);
    return reply_now(http::status::service_unavailable,
                     "Too many connections without a session; try again later.\n",
                     false);
  }
  // A body coded in a way this host does not decode cannot be delimited:
  // reading on would take its bytes for the next request.
  auto coding = head.find(http::field::transfer_encoding);
  if (coding != head.end() && !beast::iequals(coding->value(), "chunked"))
    return reply_now(http::status::not_implemented,
                     "Transfer-Encoding not supported.\n", false);
  if (verdict == Head_Verdict::send_continue) return send_continue();
  read_body();
}

void Http_Session::send_continue() {
  static const char line[] = "HTTP/1.1 100 Continue\r\n\r\n";
  net::async_write(stream_, net::buffer(line, sizeof line - 1),
                   [self = shared_from_this()](beast::error_code ec, std::size_t) {
                     if (ec) return self->on_read(ec);
                     self->read_body();
                   });
}

void Http_Session::read_body() {
  // What of the body came with the head is parsed here, and a body that
  // came whole needs no further trip through the io_context.
  beast::error_code ec;
  parser_->eager(true);
  while (!parser_->is_done() && buffer_.size() > 0) {
    const std::size_t used = parser_->put(buffer_.data(), ec);
    buffer_.consume(used);
    if (ec == http::error::need_more || (!ec && used == 0)) {
      ec = {};
      break;
    }
    if (ec) break;
  }
  if (ec || parser_->is_done()) return on_read(ec);
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, std::size_t) {
                     self->on_read(ec);
                   });
}

void Http_Session::on_read(beast::error_code ec) {
  reading_ = false;
  if (read_timed_out_)
    return reply_now(http::status::request_timeout,
                     "The request did not arrive whole in time.\n", false);
  if (ec == http::error::body_limit)
    return reply_now(http::status::payload_too_large,
                     "Request body is too large.\n", false);
  if (ec == http::error::header_limit)
    // The parser sets the target once the request line is whole: without
    // one, it is the line that outgrew the limit.
    return parser_->get().target().empty()
               ? reply_now(http::status::uri_too_long, "Request target is too long.\n",
                           false)
               : reply_now(http::status::request_header_fields_too_large,
                           "Request header is too large.\n", false);
  // A request that breaks the syntax is told so; a client that went away or
  // took too long is not.
  if (ec && ec.category() == http::make_error_code(http::error::bad_method).category() &&
      ec != http::error::end_of_stream && ec != http::error::partial_message)
    return reply_now(http::status::bad_request, "Bad request.\n", false);
  if (ec) return close();

  auto request = std::make_shared<Request>(parser_->release());
  expire_never();
  pending_ = false;
  std::string target(request->target());
  std::string path = target.substr(0, target.find('?'));

  if (websocket::is_upgrade(*request)) {
    if (path != "/jsonrpc")
      return reply_now(http::status::not_found, "Not found.\n", false);
    deadline_timer_.cancel();  // the WebSocket keeps its own watch
    auto ws = std::make_shared<Ws_Session>(context_, lane_, stream_.release_socket());
    // The WebSocket takes over this connection's place in the share.
    ws->adopt_anonymous(anonymous_);
    context_.track(ws);
    ws->accept(request);
    return;
  }

  // Served outside the strand: the handler's writes go back through it.
  Io_Threads::hand_on(lane_.ioc.get_executor(),
                      [self = shared_from_this(), request,
                       anonymous = anonymous_.taken()] {
                        self->serve(request, anonymous);
                      });
}

void Http_Session::serve(const std::shared_ptr<Request>& request, bool anonymous) {
  std::string target(request->target());
  std::string path = target.substr(0, target.find('?'));
  auto self = shared_from_this();
  Io_Threads::Handler_Scope scope(lane_.io, anonymous);
  try {
    if (path == "/jsonrpc") {
      if (request->method() == http::verb::post)
        return serve_jsonrpc_post(self, request, !scope.admitted());
      auto response = text_response(*request, http::status::method_not_allowed,
                                    "POST a JSON-RPC object, or upgrade to "
                                    "WebSocket.\n");
      response->set(http::field::allow, "POST");
      return send_final(response, request->keep_alive());
    }
    if (!scope.admitted()) return send_busy(request);
    if (const auto* rest = context_.services.rest(path))
      return serve_rest(self, request, *rest);
    if (const auto* plain = context_.services.http(path))
      return serve_http(self, request, *plain);
    send_final(text_response(*request, http::status::not_found, "Not found.\n"),
               request->keep_alive());
  } catch (const std::exception& e) {
    // Exchanges answer their own failures; this is the last line.
    ACE_ERROR((LM_ERROR, "%N:%l: %C %C failed: %C\n",
               std::string(request->method_string()).c_str(), path.c_str(),
               e.what()));
    finish(false);
  }
}

beast::error_code Http_Session::write_response(
    std::shared_ptr<Response> response) {
  auto self = shared_from_this();
  return run_blocking(stream_.get_executor(), [self, response](Completion done) {
    self->async_send(response,
                     [done](beast::error_code ec, std::size_t) { done(ec); });
  });
}

beast::error_code Http_Session::write_chunked_head(
    std::shared_ptr<http::response<http::empty_body>> head) {
  head->chunked(true);
  stamp_response(*head);
  auto self = shared_from_this();
  return run_blocking(stream_.get_executor(), [self, head](Completion done) {
    auto serializer =
        std::make_shared<http::response_serializer<http::empty_body>>(*head);
    self->expire_after(self->context_.timeout);
    http::async_write_header(
        self->stream_, *serializer,
        [head, serializer, done](beast::error_code ec, std::size_t) {
          done(ec);
        });
  });
}

beast::error_code Http_Session::write_chunk(const char* data,
                                            std::size_t length) {
  // An empty chunk would end the body; a HEAD answer has none.
  if (length == 0 || head_only_) return beast::error_code();
  auto self = shared_from_this();
  return run_blocking(stream_.get_executor(), [=](Completion done) {
    self->expire_after(self->context_.timeout);
    net::async_write(self->stream_,
                     http::make_chunk(net::const_buffer(data, length)),
                     [done](beast::error_code ec, std::size_t) { done(ec); });
  });
}

beast::error_code Http_Session::write_last_chunk() {
  if (head_only_) return beast::error_code();
  auto self = shared_from_this();
  return run_blocking(stream_.get_executor(), [self](Completion done) {
    self->expire_after(self->context_.timeout);
    net::async_write(self->stream_, http::make_chunk_last(),
                     [done](beast::error_code ec, std::size_t) { done(ec); });
  });
}

bool Http_Session::queue_chunked_head(
    std::shared_ptr<http::response<http::empty_body>> head) {
  head->chunked(true);
  stamp_response(*head);
  std::ostringstream text;
  text << head->base();
  return queue_write(text.str(), false, After::nothing);
}

bool Http_Session::queue_chunk(std::string&& data) {
  // An empty chunk would end the body; a HEAD answer has none.
  if (data.empty() || head_only_) return true;
  return queue_write(std::move(data), true, After::nothing);
}

void Http_Session::queue_last_chunk(bool keep_alive) {
  queue_write(head_only_ ? "" : "0\r\n\r\n", false,
              keep_alive ? After::read : After::close);
}

std::size_t Http_Session::queued_bytes() {
  std::lock_guard<std::mutex> guard(queue_lock_);
  return queued_bytes_;
}

bool Http_Session::call_when_drained(std::size_t low,
                                     std::function<void()> drained) {
  std::lock_guard<std::mutex> guard(queue_lock_);
  if (queue_failed_ || queued_bytes_ <= low) return false;
  drain_low_ = low;
  on_drained_ = std::move(drained);
  return true;
}

bool Http_Session::queue_write(std::string&& bytes, bool chunk, After after) {
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    if (queue_failed_) return false;
    queued_bytes_ += bytes.size();
  }
  auto item = std::make_shared<Queued>(Queued{std::move(bytes), chunk});
  net::dispatch(stream_.get_executor(), [self = shared_from_this(), item, after] {
    self->queue_.push_back(std::move(*item));
    if (after != After::nothing) self->after_queue_ = after;
    if (!self->queue_writing_) self->write_queued();
  });
  return true;
}

void Http_Session::write_queued() {
  if (queue_.empty()) {
    queue_writing_ = false;
    const After after = std::exchange(after_queue_, After::nothing);
    if (after == After::nothing) return;
    // The reply is out: the exchange ends as finish() ends it.
    unwatch();
    if (after == After::read && !context_.stopping) return read();
    return close();
  }
  queue_writing_ = true;
  expire_after(context_.timeout);
  auto done = [self = shared_from_this()](beast::error_code ec, std::size_t) {
    std::function<void()> drained;
    {
      std::lock_guard<std::mutex> guard(self->queue_lock_);
      self->queued_bytes_ -= self->queue_.front().bytes.size();
      if (!ec && self->on_drained_ && self->queued_bytes_ <= self->drain_low_)
        drained.swap(self->on_drained_);
    }
    self->queue_.pop_front();
    if (ec) return self->fail_queued();
    if (drained) self->resume_on_lane(std::move(drained));
    self->write_queued();
  };
  const Queued& front = queue_.front();
  if (front.chunk)
    net::async_write(stream_, http::make_chunk(net::buffer(front.bytes)), done);
  else
    net::async_write(stream_, net::buffer(front.bytes), done);
}

// A write failed (the deadline closed the connection, the client left):
// nothing more goes out, and a reply waiting for room learns it.
void Http_Session::fail_queued() {
  std::function<void()> drained;
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    queue_failed_ = true;
    queued_bytes_ = 0;
    drained.swap(on_drained_);
  }
  queue_.clear();
  queue_writing_ = false;
  after_queue_ = After::nothing;
  if (drained) resume_on_lane(std::move(drained));
  close();
}

void Http_Session::resume_on_lane(std::function<void()> f) {
  Io_Threads::hand_on(lane_.ioc.get_executor(),
                      [self = shared_from_this(), f = std::move(f)] {
                        Io_Threads::Handler_Scope scope(
                            self->lane_.io, Io_Threads::Handler_Scope::Resumed());
                        f();
                      });
}

void Http_Session::deliver_on_lane(bool anonymous,
                                   std::function<void(const char*)> deliver) {
  Io_Threads::hand_on(lane_.ioc.get_executor(),
                      [self = shared_from_this(), anonymous,
                       deliver = std::move(deliver)] {
                        Io_Threads::Handler_Scope scope(self->lane_.io, anonymous);
                        deliver(scope.admitted() ? nullptr : json_rpc::busy_message);
                      });
}

void Http_Session::finish(bool keep_alive) {
  net::dispatch(stream_.get_executor(), [self = shared_from_this(), keep_alive] {
    self->unwatch();
    if (keep_alive && !self->context_.stopping)
      self->read();
    else
      self->close();
  });
}

void Http_Session::send_final(std::shared_ptr<Response> response,
                              bool keep_alive) {
  // Dispatched, not posted: on an io thread, with the connection's strand
  // free, the write starts right here instead of waking another thread.
  net::dispatch(stream_.get_executor(), [self = shared_from_this(), response,
                                      keep_alive] {
    self->async_send(response, [self, keep_alive](beast::error_code ec,
                                                  std::size_t) {
      self->unwatch();
      if (ec || !keep_alive || self->context_.stopping) return self->close();
      self->read();
    });
  });
}

void Http_Session::send_busy(const std::shared_ptr<Request>& request) {
  metrics::count_busy(metrics::BUSY_HANDLERS);
  auto response = text_response(*request, http::status::service_unavailable,
                                "The agent is busy; try again later.\n");
  response->set(http::field::retry_after, "1");
  send_final(response, request->keep_alive());
}

void Http_Session::watch(std::function<void()> on_gone) {
  {
    std::lock_guard<std::mutex> guard(watch_lock_);
    on_gone_ = std::move(on_gone);
  }
  net::dispatch(stream_.get_executor(), [self = shared_from_this()] {
    // A peek completes once a byte is there or the connection has ended:
    // either the next request of a pipelining client, or the end of the
    // connection. Only the latter ends the exchange.
    self->stream_.socket().async_receive(
        net::buffer(&self->peeked_, 1), tcp::socket::message_peek,
        [self](beast::error_code ec, std::size_t n) {
          if (ec == net::error::operation_aborted || (!ec && n > 0)) return;
          std::function<void()> gone;
          {
            std::lock_guard<std::mutex> guard(self->watch_lock_);
            gone.swap(self->on_gone_);
          }
          if (gone) gone();
        });
  });
}

void Http_Session::unwatch() {
  {
    std::lock_guard<std::mutex> guard(watch_lock_);
    on_gone_ = nullptr;
  }
  beast::error_code ignored;
  stream_.socket().cancel(ignored);
}

void Http_Session::close() {
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.close();
  deadline_timer_.cancel();
}

void Http_Session::expire_after(std::chrono::steady_clock::duration timeout) {
  deadline_ = std::chrono::steady_clock::now() + timeout;
  if (!deadline_armed_) arm_deadline();
}

void Http_Session::arm_deadline() {
  deadline_armed_ = true;
  deadline_timer_.expires_at(deadline_);
  deadline_timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (ec) return;  // cancelled: the connection is closing
    self->deadline_armed_ = false;
    if (self->deadline_ == std::chrono::steady_clock::time_point::max())
      return;  // nothing under way; the next operation arms it again
    if (std::chrono::steady_clock::now() < self->deadline_)
      return self->arm_deadline();
    // A request begun and not finished is told why it is dropped; one
    // not begun, or a write the client does not take, just ends.
    if (self->reading_ && self->parser_->got_some()) {
      self->read_timed_out_ = true;
      beast::error_code ignored;
      self->stream_.socket().cancel(ignored);
      return;
    }
    // Too slow: what is under way fails, as the client's own close would.
    self->close();
  });
}

}  // namespace wagent
