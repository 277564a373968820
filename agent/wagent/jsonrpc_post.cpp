// JSON-RPC over POST: one object per request body, one reply per exchange.
// The exchange ends when the reply has been written, or, when no reply
// comes, once every piece of work started for it is done (then 204).
#include <ace/Log_Msg.h>

#include "agent/wagent/http_session.h"

namespace wagent {

namespace {

// A reply that fits is sent with its length; a longer one streams out in
// chunks of this size as the handler generates it.
const std::size_t chunk_size = 64 * 1024;
// A reply that may park waits once this much is queued for the socket, and
// goes on when the queue is down to park_low: a client that does not read
// costs this much memory and no thread.
const std::size_t park_high = 256 * 1024;
const std::size_t park_low = 64 * 1024;

class Post_Channel : public JSON_RPC_Channel {
 public:
  Post_Channel(const std::shared_ptr<Http_Session>& session,
               const std::shared_ptr<Request>& request)
      : session_(session), request_(request) {
    set_session(request_session_key(*request, false));
    set_session_required(true);
    auto it = request->find("X-Forwarded-For");
    std::string forwarded = it == request->end() ? "" : std::string(it->value());
    std::string address = client_address(
        it == request->end() ? nullptr : &forwarded, session->peer());
    ACE_INET_Addr addr;
    if (addr.set(static_cast<u_short>(0), address.c_str(), 0) == 0)
      set_remote_addr(addr);
  }

  // Keeps the channel alive until the exchange ends: workers hold only
  // weak references.
  void hold(const JSON_RPC_Channel_Ptr& self) {
    self_ = self;
    enable_parking(self);
  }

  // Work for the exchange goes on after its delivery (a worker thread, a
  // reply still to come): a client that closes the connection meanwhile
  // has gone, and the work is told so through the channel.
  void watch_requester() {
    std::lock_guard<std::mutex> guard(lock_);
    if (finished_) return;
    JSON_RPC_Channel_WPtr weak(self_);
    session_->watch([weak] {
      JSON_RPC_Channel_Ptr channel(weak);
      if (channel.get()) channel->close();
    });
  }

 protected:
  bool begin_message() override {
    std::lock_guard<std::mutex> guard(lock_);
    if (replied_ || finished_) return false;  // one reply per exchange
    in_message_ = true;
    head_sent_ = false;
    buffer_.clear();
    return true;
  }

  bool write_piece(const char* data, std::size_t length) override {
    buffer_.append(data, length);
    if (buffer_.size() < chunk_size) return true;
    if (!head_sent_) {
      auto head = std::make_shared<http::response<http::empty_body>>(
          http::status::ok, request_->version());
      head->set(http::field::content_type, "application/json");
      head->keep_alive(request_->keep_alive());
      if (parking() ? !session_->queue_chunked_head(head)
                    : bool(session_->write_chunked_head(head)))
        return failed();
      head_sent_ = true;
    }
    if (parking()) {
      const bool queued = session_->queue_chunk(std::move(buffer_));
      // The next chunk gets its whole block at once: growing into it
      // copies what it holds each time, and a block of this size comes
      // fresh from the system, so every growth costs new pages too.
      buffer_ = std::string();
      buffer_.reserve(2 * chunk_size);
      return queued ? true : failed();
    }
    beast::error_code ec = session_->write_chunk(buffer_.data(), buffer_.size());
    buffer_.clear();
    return ec ? failed() : true;
  }

  bool backlogged() override { return session_->queued_bytes() >= park_high; }

  bool call_when_drained(std::function<void()> resume) override {
    return session_->call_when_drained(park_low, std::move(resume));
  }

  bool call_soon(std::function<void()> resume) override {
    session_->resume_on_lane(std::move(resume));
    return true;
  }

  bool end_message(bool ok) override {
    std::unique_lock<std::mutex> guard(lock_);
    in_message_ = false;
    if (!ok) {
      buffer_.clear();
      // Half a reply is out: only a cut connection tells the client.
      if (head_sent_) finish(false);
      return false;
    }
    replied_ = true;
    if (!head_sent_) {
      auto response = std::make_shared<Response>(http::status::ok,
                                                 request_->version());
      response->set(http::field::content_type, "application/json");
      response->body().swap(buffer_);
      send_final(response);
      return true;
    }
    if (parking()) {
      // The session ends the exchange once the queue is out.
      const bool queued = session_->queue_chunk(std::move(buffer_));
      buffer_ = std::string();
      if (!queued) {
        finish(false);
        return false;
      }
      session_->queue_last_chunk(request_->keep_alive());
      end_exchange();
      return true;
    }
    beast::error_code ec = session_->write_chunk(buffer_.data(), buffer_.size());
    if (!ec) ec = session_->write_last_chunk();
    buffer_.clear();
    finish(!ec && request_->keep_alive());
    return !ec;
  }

  // The members of a batch after the first are served on the connection's
  // lane, each admitted as a request of its own.
  bool deliver_later(std::function<void(const char*)> next) override {
    session_->deliver_on_lane(anonymous(), std::move(next));
    return true;
  }

  void on_idle() override {
    std::lock_guard<std::mutex> guard(lock_);
    if (replied_ || finished_ || in_message_) return;
    send_final(std::make_shared<Response>(http::status::no_content,
                                          request_->version()));
  }

 private:
  bool failed() {
    buffer_.clear();
    return false;
  }

  // Under lock_. The session goes on once the response is out; the
  // handler's thread does not wait for that.
  void send_final(const std::shared_ptr<Response>& response) {
    if (finished_) return;
    response->keep_alive(request_->keep_alive());
    if (response->result() != http::status::no_content)
      response->prepare_payload();
    session_->send_final(response, request_->keep_alive());
    end_exchange();
  }

  // Under lock_.
  void finish(bool keep_alive) {
    if (finished_) return;
    session_->finish(keep_alive);
    end_exchange();
  }

  void end_exchange() {
    finished_ = true;
    close();
    // Every caller of the channel's hooks holds a reference of its own, so
    // this one is never the last.
    self_ = JSON_RPC_Channel_Ptr();
  }

  std::shared_ptr<Http_Session> session_;
  std::shared_ptr<Request> request_;
  JSON_RPC_Channel_Ptr self_;
  std::mutex lock_;
  bool replied_ = false;
  bool finished_ = false;
  bool in_message_ = false;
  bool head_sent_ = false;
  std::string buffer_;
};

}  // namespace

void serve_jsonrpc_post(const std::shared_ptr<Http_Session>& session,
                        const std::shared_ptr<Request>& request, bool busy) {
  Post_Channel* raw = new Post_Channel(session, request);
  JSON_RPC_Channel_Ptr channel(raw);
  raw->hold(channel);
  deliver_message(session->context(), channel, request->body(), busy, request);
  raw->watch_requester();
}

void deliver_message(Host_Context& context, const JSON_RPC_Channel_Ptr& channel,
                     const std::string& text, bool busy,
                     std::shared_ptr<const void> keep) {
  try {
    context.services.dispatcher().dispatch(
        channel, text.data(), text.size(),
        busy ? json_rpc::busy_message : nullptr, std::move(keep));
  } catch (const std::exception& e) {
    ACE_ERROR((LM_ERROR, "%N:%l: JSON-RPC delivery failed: %C\n", e.what()));
    channel->send_error(-32603, json_spirit::Value::null, nullptr,
                        json_spirit::Value::null);
  }
}

}  // namespace wagent
