#include "agent/wagent/ws_session.h"

#include <ace/Log_Msg.h>

#include <type_traits>

#include "agent/json_rpc/json_rpc_handler.h"

namespace wagent {

namespace {
// Replies are passed on in fragments of about this size as they are
// generated.
const std::size_t fragment_size = 64 * 1024;
}  // namespace

template <class Next_Layer>
class Ws_Session_T<Next_Layer>::Channel : public JSON_RPC_Channel {
 public:
  explicit Channel(const std::shared_ptr<Ws_Session_T>& session)
      : session_(session) {}

  // Called once the session holds the channel by `self`.
  void allow_parking(const JSON_RPC_Channel_Ptr& self) { enable_parking(self); }

  void set_requester(const std::string& key, const std::string& address) {
    set_session(key);
    ACE_INET_Addr addr;
    if (addr.set(static_cast<u_short>(0), address.c_str(), 0) == 0)
      set_remote_addr(addr);
  }

 protected:
  bool begin_message() override {
    buffer_.clear();
    fragment_sent_ = false;
    return is_open() && !session_.expired();
  }

  bool write_piece(const char* data, std::size_t length) override {
    buffer_.append(data, length);
    if (buffer_.size() < fragment_size) return true;
    return flush(false);
  }

  bool backlogged() override {
    auto s = session_.lock();
    return s && s->backlogged();
  }

  bool call_when_drained(std::function<void()> resume) override {
    auto s = session_.lock();
    return s && s->call_when_drained(std::move(resume));
  }

  bool call_soon(std::function<void()> resume) override {
    auto s = session_.lock();
    if (s) s->resume_on_lane(std::move(resume));
    return static_cast<bool>(s);
  }

  // A batch's members after the first are served on the lane, each
  // admitted as a message of its own.
  bool deliver_later(std::function<void(const char*)> next) override {
    auto s = session_.lock();
    if (!s) return false;
    s->deliver_on_lane(anonymous(), std::move(next));
    return true;
  }

  // A batch counts as a message in flight until its last member is done.
  void on_batch(bool started) override { count_in_flight(started); }

  // A reply under way counts with the messages in flight, so a client
  // whose replies wait for it to read is not read without bound.
  void on_parking_send(bool started) override { count_in_flight(started); }

  void count_in_flight(bool started) {
    auto s = session_.lock();
    if (!s) return;
    if (started)
      ++s->in_flight_;
    else
      s->message_done();
  }

  bool end_message(bool ok) override {
    if (ok) return flush(true);
    // A message cut short cannot be taken back once a fragment is out.
    if (fragment_sent_)
      if (auto s = session_.lock()) s->abort();
    buffer_.clear();
    return false;
  }

 private:
  bool flush(bool last) {
    auto s = session_.lock();
    if (!s) return false;
    beast::error_code ec = parking() ? s->queue_fragment(std::move(buffer_), last)
                                     : s->write_fragment(std::move(buffer_), last);
    buffer_ = std::string();
    fragment_sent_ = true;
    if (ec) close();
    return !ec;
  }

  std::weak_ptr<Ws_Session_T> session_;
  std::string buffer_;
  bool fragment_sent_ = false;
};

template <class Next_Layer>
Ws_Session_T<Next_Layer>::~Ws_Session_T() {
  if (raw_channel_) raw_channel_->close();
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::configure() {
  raw_channel_ = new Channel(this->shared_from_this());
  channel_ = JSON_RPC_Channel_Ptr(raw_channel_);
  raw_channel_->allow_parking(channel_);
  beast::get_lowest_layer(ws_).expires_never();
  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = context_.timeout;
  // Beast's own idle timeout re-arms a timer on every read, a system call
  // and a cancelled wait per message; watch_idle() keeps one timer instead.
  timeouts.idle_timeout = websocket::stream_base::none();
  timeouts.keep_alive_pings = false;
  ws_.set_option(timeouts);
  ws_.control_callback([this](websocket::frame_type, beast::string_view) {
    heard_ = true;
  });
  ws_.read_message_max(context_.body_limit);
  ws_.text(true);
  // Each piece the channel hands over is one frame; Beast would cut it
  // into 4 KiB frames of its own.
  ws_.auto_fragment(false);
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::accept(const std::shared_ptr<Request>& request) {
  configure();
  raw_channel_->set_session_required(true);
  auto it = request->find("X-Forwarded-For");
  std::string forwarded = it == request->end() ? "" : std::string(it->value());
  raw_channel_->set_requester(
      request_session_key(*request, true),
      client_address(it == request->end() ? nullptr : &forwarded, peer_));
  ws_.async_accept(*request, [self = this->shared_from_this(), request](
                                 beast::error_code ec) {
    if (ec) return self->ended();
    self->serve();
  });
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::handshake(const std::string& server_name,
                                         const std::string& host,
                                         const std::string& target,
                                         const std::string& session,
                                         std::function<void()> on_open) {
  configure();
  server_ = server_name;
  raw_channel_->set_requester(session, peer_.address().to_string());
  auto self = this->shared_from_this();
  net::dispatch(ws_.get_executor(), [self, server_name, host, target, on_open] {
    if constexpr (std::is_same_v<Next_Layer, Strand_Stream>) {
      self->start_websocket(host, target, on_open);
    } else {
      // The name goes out for the server to pick its certificate (SNI) and
      // is what the certificate must name; nothing is sent before it
      // passes.
      auto& tls = self->ws_.next_layer();
      if (!SSL_set_tlsext_host_name(tls.native_handle(), server_name.c_str())) {
        ACE_ERROR((LM_ERROR, "%N:%l: upstream %C: cannot name the server for "
                             "TLS\n", server_name.c_str()));
        return self->ended();
      }
      tls.set_verify_mode(net::ssl::verify_peer);
      tls.set_verify_callback(net::ssl::host_name_verification(server_name));
      beast::get_lowest_layer(self->ws_).expires_after(self->context_.timeout);
      tls.async_handshake(
          net::ssl::stream_base::client,
          [self, server_name, host, target, on_open](beast::error_code ec) {
            beast::get_lowest_layer(self->ws_).expires_never();
            if (ec) {
              ACE_ERROR((LM_ERROR, "%N:%l: upstream %C: TLS handshake failed, "
                                   "nothing sent: %C\n",
                         host.c_str(), ec.message().c_str()));
              return self->ended();
            }
            self->start_websocket(host, target, on_open);
          });
    }
  });
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::start_websocket(const std::string& host,
                                               const std::string& target,
                                               std::function<void()> on_open) {
  ws_.async_handshake(host, target, [self = this->shared_from_this(),
                                     on_open](beast::error_code ec) {
    if (ec) {
      ACE_ERROR((LM_ERROR, "%N:%l: upstream handshake failed: %C\n",
                 ec.message().c_str()));
      return self->ended();
    }
    if (on_open) on_open();
    self->serve();
  });
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::serve() {
  watch_idle();
  if (anonymous_.taken()) {
    last_message_ = std::chrono::steady_clock::now();
    watch_messages();
  }
  read();
}

// A caller without a session that holds a connection open without sending
// a whole message (idle, or half a frame) would keep its place in the share
// for as long as it likes; one timeout of silence closes it. Time spent
// waiting for its own replies does not count.
template <class Next_Layer>
void Ws_Session_T<Next_Layer>::watch_messages() {
  message_timer_.expires_at(last_message_ + context_.timeout);
  message_timer_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
    if (ec || self->ended_) return;
    const auto now = std::chrono::steady_clock::now();
    if (self->in_flight_ > 0 || self->read_paused_) {
      self->last_message_ = now;
    } else if (now >= self->last_message_ + self->context_.timeout) {
      ACE_DEBUG((LM_INFO, "%N:%l: WebSocket client %C without a session sent "
                          "no whole message for %d s; closing it\n",
                 self->peer_.address().to_string().c_str(),
                 int(self->context_.timeout.count())));
      return beast::get_lowest_layer(self->ws_).close();
    }
    self->watch_messages();
  });
}

// Pings find a peer that has gone without closing; a peer that stops
// reading stops answering them too, which ends writes blocked on it.
template <class Next_Layer>
void Ws_Session_T<Next_Layer>::watch_idle() {
  idle_timer_.expires_after(context_.keepalive);
  idle_timer_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
    if (ec || self->ended_ || self->closing_) return;
    if (self->heard_ || self->read_paused_) {
      self->heard_ = false;
      self->pinged_ = false;
    } else if (!self->pinged_) {
      self->pinged_ = true;
      self->ws_.async_ping({}, [](beast::error_code) {});
    } else {
      ACE_DEBUG((LM_INFO, "%N:%l: WebSocket peer %C answers nothing; "
                          "closing it\n",
                 self->peer_.address().to_string().c_str()));
      return beast::get_lowest_layer(self->ws_).close();
    }
    self->watch_idle();
  });
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::read() {
  ws_.async_read(buffer_, [self = this->shared_from_this()](beast::error_code ec,
                                                      std::size_t) {
    self->on_read(ec);
  });
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::on_read(beast::error_code ec) {
  if (ec) return ended();
  heard_ = true;
  if (anonymous_.taken()) last_message_ = std::chrono::steady_clock::now();
  if (!ws_.got_text()) {
    // Messages are JSON text; a binary one is a peer speaking another
    // protocol, and quietly dropping it would leave the peer waiting.
    buffer_.consume(buffer_.size());
    ACE_ERROR((LM_WARNING, "%N:%l: WebSocket %C sent a binary message; "
                           "closing the connection (1003)\n",
               peer_name().c_str()));
    return close_with(websocket::close_code::unknown_data);
  }
  auto text = std::make_shared<std::string>(beast::buffers_to_string(buffer_.data()));
  buffer_.consume(buffer_.size());
  // The text now lives in its copy: a large message's read buffer would
  // otherwise stay allocated beside it while its values are built.
  buffer_.shrink_to_fit();

  ++in_flight_;
  // Served outside the strand; replies come back through it.
  Io_Threads::hand_on(lane_.ioc.get_executor(),
             [self = this->shared_from_this(), channel = channel_, text,
              anonymous = anonymous_.taken()] {
               {
                 Io_Threads::Handler_Scope scope(self->lane_.io, anonymous);
                 deliver_message(self->context_, channel, *text,
                                 !scope.admitted(), text);
               }
               self->message_done();
             });
  // A client that sends faster than its messages are served waits on TCP
  // instead of growing the host's work.
  if (in_flight_ >= context_.ws_in_flight_limit)
    read_paused_ = true;
  else
    read();
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::message_done() {
  --in_flight_;
  net::dispatch(ws_.get_executor(), [self = this->shared_from_this()] {
    if (self->read_paused_ && !self->ended_ && !self->closing_ &&
        self->in_flight_ < self->context_.ws_in_flight_limit) {
      self->read_paused_ = false;
      self->read();
    }
  });
}

template <class Next_Layer>
beast::error_code Ws_Session_T<Next_Layer>::write_fragment(std::string&& data, bool last) {
  {
    std::unique_lock<std::mutex> guard(queue_lock_);
    auto room = [this] { return queued_bytes_ < context_.ws_queue_limit || write_failed_; };
    if (!room()) {
      // A client that does not read holds this thread for one write
      // timeout at most; then the connection is given up.
      Io_Threads::Blocking_Scope blocking;
      if (!queue_cv_.wait_for(guard, context_.timeout, room)) {
        guard.unlock();
        ACE_ERROR((LM_WARNING, "%N:%l: WebSocket client %C reads nothing; "
                               "closing it\n",
                   peer_.address().to_string().c_str()));
        abort();
        return net::error::timed_out;
      }
    }
  }
  return queue_fragment(std::move(data), last);
}

template <class Next_Layer>
beast::error_code Ws_Session_T<Next_Layer>::queue_fragment(std::string&& data,
                                                           bool last) {
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    if (write_failed_) return net::error::broken_pipe;
    queued_bytes_ += data.size();
  }
  auto self = this->shared_from_this();
  auto fragment = std::make_shared<std::string>(std::move(data));
  net::dispatch(ws_.get_executor(), [self, fragment, last] {
    self->queue_.emplace_back(std::move(*fragment), last);
    if (!self->writing_) self->write_next();
  });
  return beast::error_code();
}

template <class Next_Layer>
bool Ws_Session_T<Next_Layer>::backlogged() {
  std::lock_guard<std::mutex> guard(queue_lock_);
  return queued_bytes_ >= context_.ws_park_high;
}

template <class Next_Layer>
bool Ws_Session_T<Next_Layer>::call_when_drained(std::function<void()> resume) {
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    if (write_failed_ || queued_bytes_ <= context_.ws_park_low) return false;
    on_drained_ = std::move(resume);
    parked_at_ = std::chrono::steady_clock::now();
  }
  net::dispatch(ws_.get_executor(), [self = this->shared_from_this()] {
    if (!self->park_timer_armed_) self->watch_parked();
  });
  return true;
}

// A reply parked for a whole write timeout: the client reads nothing, and
// the connection is cut, which fails the write it waits for and resumes
// the reply as a cut one.
template <class Next_Layer>
void Ws_Session_T<Next_Layer>::watch_parked() {
  std::chrono::steady_clock::time_point since;
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    if (!on_drained_) {
      park_timer_armed_ = false;
      return;
    }
    since = parked_at_;
  }
  if (std::chrono::steady_clock::now() - since >= context_.timeout) {
    park_timer_armed_ = false;
    ACE_ERROR((LM_WARNING, "%N:%l: WebSocket client %C reads nothing; "
                           "closing it\n",
               peer_.address().to_string().c_str()));
    return beast::get_lowest_layer(ws_).close();
  }
  park_timer_armed_ = true;
  park_timer_.expires_at(since + context_.timeout);
  park_timer_.async_wait([self = this->shared_from_this()](beast::error_code ec) {
    if (ec) {
      self->park_timer_armed_ = false;
      return;
    }
    self->watch_parked();
  });
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::resume_on_lane(std::function<void()> f) {
  Io_Threads::hand_on(lane_.ioc.get_executor(),
                      [self = this->shared_from_this(), f = std::move(f)] {
                        Io_Threads::Handler_Scope scope(
                            self->lane_.io, Io_Threads::Handler_Scope::Resumed());
                        f();
                      });
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::deliver_on_lane(
    bool anonymous, std::function<void(const char*)> deliver) {
  Io_Threads::hand_on(lane_.ioc.get_executor(),
                      [self = this->shared_from_this(), anonymous,
                       deliver = std::move(deliver)] {
                        Io_Threads::Handler_Scope scope(self->lane_.io, anonymous);
                        deliver(scope.admitted() ? nullptr : json_rpc::busy_message);
                      });
}

template <class Next_Layer>
std::string Ws_Session_T<Next_Layer>::peer_name() const {
  const std::string address =
      peer_.address().to_string() + ":" + std::to_string(peer_.port());
  return server_.empty() ? "client " + address
                         : "upstream server " + server_ + " (" + address + ")";
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::close_with(websocket::close_code code) {
  if (ended_) return;
  if (!closing_) {
    closing_ = true;
    close_code_ = code;
    // Work still running for the connection stops; its replies would
    // follow the close.
    if (raw_channel_) raw_channel_->close();
  }
  // One write at a time: the close frame follows the fragment under way.
  if (writing_ || close_started_) return;
  close_started_ = true;
  fail_writes();
  // A peer that does not answer the close is not waited for long.
  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = std::chrono::seconds(1);
  timeouts.idle_timeout = websocket::stream_base::none();
  timeouts.keep_alive_pings = false;
  ws_.set_option(timeouts);
  ws_.async_close(code, [self = this->shared_from_this()](beast::error_code) {
    self->ended();
  });
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::write_next() {
  if (closing_) {
    writing_ = false;
    return close_with(close_code_);
  }
  // Nothing follows a close frame; a write begun after it would wait on
  // the close forever, each holding the session.
  if (queue_.empty() || ended_ || close_started_) {
    writing_ = false;
    if (ended_ || close_started_) fail_writes();
    return;
  }
  writing_ = true;
  const Fragment& front = queue_.front();
  ws_.async_write_some(
      front.second, net::buffer(front.first),
      [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
        std::function<void()> drained;
        {
          std::lock_guard<std::mutex> guard(self->queue_lock_);
          self->queued_bytes_ -= self->queue_.front().first.size();
          if (self->on_drained_ && self->queued_bytes_ <= self->context_.ws_park_low)
            drained.swap(self->on_drained_);
        }
        self->queue_.pop_front();
        self->queue_cv_.notify_all();
        if (drained) self->resume_on_lane(std::move(drained));
        if (ec) {
          self->writing_ = false;
          self->fail_writes();
          // No read is pending to notice the end once a close of ours began.
          if (self->closing_) return self->ended();
          return beast::get_lowest_layer(self->ws_).close();
        }
        self->write_next();
      });
}

// On the strand: nothing more will be written; writers waiting for room
// learn that the requester has gone.
template <class Next_Layer>
void Ws_Session_T<Next_Layer>::fail_writes() {
  std::function<void()> drained;
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    write_failed_ = true;
    for (const Fragment& f : queue_) queued_bytes_ -= f.first.size();
    drained.swap(on_drained_);
  }
  queue_.clear();
  queue_cv_.notify_all();
  park_timer_.cancel();
  if (drained) resume_on_lane(std::move(drained));
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::abort() {
  net::post(ws_.get_executor(), [self = this->shared_from_this()] {
    beast::get_lowest_layer(self->ws_).close();
  });
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::shut() {
  // Work still running for this connection learns at once that its
  // requester is going; the close handshake may take a while.
  if (raw_channel_) raw_channel_->close();
  // A writer waiting for room need not wait for the strand to say so: at a
  // stop the io threads may already be busy or gone.
  {
    std::lock_guard<std::mutex> guard(queue_lock_);
    write_failed_ = true;
  }
  queue_cv_.notify_all();
  net::post(ws_.get_executor(), [self = this->shared_from_this()] {
    if (self->ended_) return;
    // A close frame would queue behind a write the client is not reading:
    // such a connection is cut at once, as is one already closing (a
    // second close would wait on the first for ever, holding the session).
    if (self->writing_ || self->closing_ || self->close_started_)
      return beast::get_lowest_layer(self->ws_).close();
    // A peer that does not answer the close is not waited for long.
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = std::chrono::seconds(1);
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    self->ws_.set_option(timeouts);
    // Fragments queued before the stop reached the strand are dropped.
    self->close_started_ = true;
    self->fail_writes();
    self->ws_.async_close(websocket::close_code::going_away,
                          [self](beast::error_code) {
                            beast::get_lowest_layer(self->ws_).close();
                          });
  });
}

template <class Next_Layer>
void Ws_Session_T<Next_Layer>::ended() {
  if (ended_) return;
  ended_ = true;
  idle_timer_.cancel();
  message_timer_.cancel();
  if (!writing_) fail_writes();
  // Also ends the stream's own timers, which would otherwise keep the
  // io_context busy until they expire.
  beast::get_lowest_layer(ws_).close();
  if (raw_channel_) raw_channel_->close();
  if (closed_callback_) {
    auto callback = std::move(closed_callback_);
    callback();
  }
}

template class Ws_Session_T<Strand_Stream>;
template class Ws_Session_T<beast::ssl_stream<Strand_Stream>>;

}  // namespace wagent
