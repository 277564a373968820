// One HTTP connection. Requests are read on the io_context and served on
// the same thread outside the connection's strand; the answer goes back
// through send_final, or the blocking calls below and then finish().
#ifndef WAGENT_HTTP_SESSION_H
#define WAGENT_HTTP_SESSION_H

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/wagent/net.h"
#include "agent/wagent/server.h"

namespace wagent {

typedef http::request<http::string_body> Request;
typedef http::response<http::string_body> Response;

class Http_Session : public Closable,
                     public std::enable_shared_from_this<Http_Session> {
 public:
  Http_Session(Strand_Socket&& socket, Host_Context& context,
               Io_Lanes::Lane& lane);

  void start();
  void shut() override;
  void shut_unless_answering() override;
  std::chrono::steady_clock::time_point pending_since() const override {
    return pending_ ? accepted_ : std::chrono::steady_clock::time_point::max();
  }

  // Blocking writes, for handler threads.
  beast::error_code write_response(std::shared_ptr<Response> response);
  // The head of a response whose body follows in chunks.
  beast::error_code write_chunked_head(
      std::shared_ptr<http::response<http::empty_body>> head);
  beast::error_code write_chunk(const char* data, std::size_t length);
  beast::error_code write_last_chunk();

  // Writes that never wait, for a reply that parks while its client reads
  // slowly: the pieces queue here and go out in order on the strand, each
  // moving the deadline as a blocking write does. False once the
  // connection can take no more.
  bool queue_chunked_head(std::shared_ptr<http::response<http::empty_body>> head);
  bool queue_chunk(std::string&& data);
  // The end of the body; once everything queued is out the exchange ends
  // as finish(keep_alive) would end it.
  void queue_last_chunk(bool keep_alive);
  // Bytes queued and not yet written.
  std::size_t queued_bytes();
  // Runs `drained` once, on the connection's lane as a handler, when the
  // queue holds `low` bytes or fewer or can take nothing more; false (and
  // `drained` is dropped) when that is so already.
  bool call_when_drained(std::size_t low, std::function<void()> drained);
  // Runs `f` on the connection's lane as a handler, after the work
  // already waiting there.
  void resume_on_lane(std::function<void()> f);
  // Runs `deliver` on the connection's lane as a delivery of its own,
  // admitted as a new request is (within the share of callers without a
  // session when `anonymous`): its argument is the refusal to answer by,
  // the busy message, when the handlers are all taken, else null.
  void deliver_on_lane(bool anonymous, std::function<void(const char*)> deliver);

  // The exchange is over: read the next request, or close.
  void finish(bool keep_alive);
  // Ends the exchange with a whole response, without waiting for it to be
  // written; the next request is read once it is out.
  void send_final(std::shared_ptr<Response> response, bool keep_alive);
  // Calls `on_gone` (on an io thread) if the client closes the connection
  // before the exchange ends, so the work done for it can stop.
  void watch(std::function<void()> on_gone);

  const std::string& peer_text() const { return peer_text_; }
  const tcp::endpoint& peer() const { return peer_; }
  Host_Context& context() { return context_; }

 private:
  void read();
  // The head is checked before the body is read, so a refusal costs the
  // client no upload and a client that waits for 100 (Continue) gets it.
  void on_header(beast::error_code ec);
  void read_body();
  void send_continue();
  void on_read(beast::error_code ec);
  // Every whole response leaves through here: stamped, and without its
  // body when it answers HEAD.
  template <class Done>
  void async_send(const std::shared_ptr<Response>& response, Done&& done);
  void serve(const std::shared_ptr<Request>& request, bool anonymous);
  void reply_now(http::status status, const std::string& text, bool keep);
  void send_busy(const std::shared_ptr<Request>& request);
  void unwatch();  // on the strand, before the next read
  void close();
  // On the strand. Every operation on the connection runs against one
  // deadline, checked by a timer that is re-armed only when it fires:
  // starting an operation moves the deadline and costs no timer call.
  // Every operation uses the same timeout, so the deadline only moves on.
  void expire_after(std::chrono::steady_clock::duration timeout);
  void expire_never() { deadline_ = std::chrono::steady_clock::time_point::max(); }
  void arm_deadline();
  // The queue of non-waiting writes.
  struct Queued {
    std::string bytes;
    bool chunk;  // framed as one chunk of the body
  };
  enum class After { nothing, read, close };
  bool queue_write(std::string&& bytes, bool chunk, After after);
  void write_queued();  // on the strand
  void fail_queued();   // on the strand

  Strand_Stream stream_;
  Strand_Timer deadline_timer_;
  std::chrono::steady_clock::time_point deadline_ =
      std::chrono::steady_clock::time_point::max();
  bool deadline_armed_ = false;
  Host_Context& context_;
  Io_Lanes::Lane& lane_;
  Connection_Count counted_;
  Anonymous_Count anonymous_;  // on the strand
  const std::chrono::steady_clock::time_point accepted_ =
      std::chrono::steady_clock::now();
  std::atomic<bool> pending_{true};
  bool reading_ = false;         // on the strand: a request is being read
  bool read_timed_out_ = false;  // on the strand
  // The exchange answers HEAD: heads go out, bodies do not. Set on the
  // strand before the exchange is handed on, read by its writes.
  bool head_only_ = false;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  tcp::endpoint peer_;
  std::string peer_text_;
  std::mutex watch_lock_;
  std::function<void()> on_gone_;
  char peeked_ = 0;  // where watch() peeks; never read
  std::deque<Queued> queue_;        // on the strand
  bool queue_writing_ = false;      // on the strand
  After after_queue_ = After::nothing;  // on the strand
  std::mutex queue_lock_;
  std::size_t queued_bytes_ = 0;    // under queue_lock_
  bool queue_failed_ = false;       // under queue_lock_
  std::size_t drain_low_ = 0;       // under queue_lock_
  std::function<void()> on_drained_;  // under queue_lock_
};

// A plain answer with a short text body.
std::shared_ptr<Response> text_response(const Request& request,
                                        http::status status,
                                        const std::string& text);

// Served outside the strand; each answers and then ends the exchange.
void serve_jsonrpc_post(const std::shared_ptr<Http_Session>& session,
                        const std::shared_ptr<Request>& request, bool busy);
// Reads one JSON-RPC message and delivers it, or with `busy` answers it
// busy; a failure that escapes the framework is answered -32603 here.
// `keep` holds `text` for the members of a batch that run later.
void deliver_message(Host_Context& context, const JSON_RPC_Channel_Ptr& channel,
                     const std::string& text, bool busy,
                     std::shared_ptr<const void> keep);
// What a REST handler gets of a request from `peer`: method, path, query
// parameters, the body as JSON, addresses and session.
void fill_parsed_request(const Request& request, const tcp::endpoint& peer,
                         Parsed_Request& out);
void serve_rest(const std::shared_ptr<Http_Session>& session,
                const std::shared_ptr<Request>& request,
                const Creator_Service<JSON_RESTful_Handler>& service);
void serve_http(const std::shared_ptr<Http_Session>& session,
                const std::shared_ptr<Request>& request,
                const Creator_Service<HTTP_Handler>& service);

// Session key of a request: the X-Session-Key header, and for WebSocket
// handshakes also the "session" query parameter.
std::string request_session_key(const Request& request, bool allow_query);

}  // namespace wagent

#endif
