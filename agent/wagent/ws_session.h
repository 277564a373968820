// A WebSocket carrying JSON-RPC: one object per text message in either
// direction, replies in any order. Serves accepted connections on /jsonrpc
// and the upstream connection the agent makes itself.
#ifndef WAGENT_WS_SESSION_H
#define WAGENT_WS_SESSION_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/beast/ssl.hpp>

#include "agent/json_rpc/json_rpc_channel.h"
#include "agent/wagent/http_session.h"
#include "agent/wagent/net.h"
#include "agent/wagent/server.h"

namespace wagent {

// Over a plain TCP stream (the listener, ws:// upstreams) or a TLS one
// (wss:// upstreams): `Next_Layer` is Strand_Stream or an ssl_stream of it.
template <class Next_Layer>
class Ws_Session_T : public Closable,
                     public std::enable_shared_from_this<Ws_Session_T<Next_Layer>> {
 public:
  // `next_layer` is made from these; its socket's executor is a strand of
  // `lane`.
  template <class... Args>
  Ws_Session_T(Host_Context& context, Io_Lanes::Lane& lane, Args&&... next_layer)
      : ws_(std::forward<Args>(next_layer)...),
        context_(context),
        lane_(lane),
        counted_(context),
        anonymous_(context),
        raw_channel_(nullptr),
        idle_timer_(ws_.get_executor()),
        message_timer_(ws_.get_executor()),
        park_timer_(ws_.get_executor()) {
    beast::error_code ec;
    peer_ = beast::get_lowest_layer(ws_).socket().remote_endpoint(ec);
  }
  ~Ws_Session_T() override;

  // Server side: completes the upgrade of `request`.
  void accept(const std::shared_ptr<Request>& request);
  // Client side, on a connected socket: handshake (over TLS, first TLS's
  // own, checking the certificate against `server_name`), then serve.
  // `host` is the Host header; `session` the key requests arriving here are
  // made under.
  void handshake(const std::string& server_name, const std::string& host,
                 const std::string& target, const std::string& session,
                 std::function<void()> on_open);
  // Called once when the connection has ended (either side).
  void on_closed(std::function<void()> callback) {
    closed_callback_ = std::move(callback);
  }

  void shut() override;

  // Before accept(): the connection has no session and holds a place in the
  // anonymous share; it must then complete a message within the timeout
  // whenever nothing of its own is in flight, or it is closed.
  void adopt_anonymous(Anonymous_Count& from) { anonymous_.adopt(from); }

  JSON_RPC_Channel_Ptr channel() const { return channel_; }

  // Queues a piece of a message (`last` ends it) and returns at once while
  // the queue has room; waits otherwise. For the channel, on delivery and
  // worker threads. An error means the connection can take no more.
  beast::error_code write_fragment(std::string&& data, bool last);
  // The same for a reply that parks: never waits. The reply asks
  // backlogged() after each piece and, when it holds enough, parks with
  // call_when_drained: `resume` runs once, on the lane as a handler, when
  // the queue has drained or the connection can take no more; false (and
  // `resume` is dropped) when that is so already. A reply parked for one
  // write timeout cuts the connection, as a waiting sender does.
  beast::error_code queue_fragment(std::string&& data, bool last);
  bool backlogged();
  bool call_when_drained(std::function<void()> resume);
  // Runs `f` on the lane as a handler, after the work already waiting.
  void resume_on_lane(std::function<void()> f);
  // Ends the connection after a reply that was cut short.
  void abort();
  // Runs `deliver` on the lane as a delivery of its own, admitted as a new
  // message is: its argument is the busy message when the handlers are
  // all taken, else null.
  void deliver_on_lane(bool anonymous, std::function<void(const char*)> deliver);

 private:
  class Channel;

  void configure();
  void serve();
  void read();
  void on_read(beast::error_code ec);
  void message_done();
  void ended();
  void write_next();
  void fail_writes();
  void watch_idle();
  void watch_messages();
  void watch_parked();  // on the strand
  // On the strand: ends the connection with a close frame of `code`, once
  // the fragment being written (if any) is out; nothing more is read.
  void close_with(websocket::close_code code);
  // Who is at the other end, for log lines: the client's address, or the
  // upstream server's name.
  std::string peer_name() const;

  typedef std::pair<std::string, bool> Fragment;

  void start_websocket(const std::string& host, const std::string& target,
                       std::function<void()> on_open);

  websocket::stream<Next_Layer> ws_;
  Host_Context& context_;
  Io_Lanes::Lane& lane_;
  Connection_Count counted_;
  Anonymous_Count anonymous_;
  beast::flat_buffer buffer_;
  JSON_RPC_Channel_Ptr channel_;
  Channel* raw_channel_;
  tcp::endpoint peer_;
  std::atomic<std::size_t> in_flight_{0};
  bool read_paused_ = false;  // on the strand only
  bool ended_ = false;        // on the strand only
  // A close of ours is under way or waits for the write in progress.
  bool closing_ = false;      // on the strand only
  bool close_started_ = false;  // on the strand only
  websocket::close_code close_code_ = websocket::close_code::normal;
  // The upstream server's name (client side only).
  std::string server_;
  // Keep-alive (strand only): a peer heard from since the last tick is
  // alive; one that is not is pinged, and closed when still silent at the
  // next tick.
  Strand_Timer idle_timer_;
  // Starts false: a peer silent from the start is pinged at the first tick.
  bool heard_ = false;
  bool pinged_ = false;
  std::function<void()> closed_callback_;
  // Anonymous connections only (strand only): when the last message was
  // read, and the timer that closes one that sends nothing whole.
  std::chrono::steady_clock::time_point last_message_;
  Strand_Timer message_timer_;

  // Pieces waiting for the socket, written one at a time (strand only).
  std::deque<Fragment> queue_;
  bool writing_ = false;
  // Senders wait here for room.
  std::mutex queue_lock_;
  std::condition_variable queue_cv_;
  std::size_t queued_bytes_ = 0;
  bool write_failed_ = false;
  // A reply parked until the queue drains (under queue_lock_), since when,
  // and the timer that cuts a client that reads nothing meanwhile.
  std::function<void()> on_drained_;
  std::chrono::steady_clock::time_point parked_at_;
  Strand_Timer park_timer_;
  bool park_timer_armed_ = false;  // on the strand
};

typedef Ws_Session_T<Strand_Stream> Ws_Session;
typedef Ws_Session_T<beast::ssl_stream<Strand_Stream>> Tls_Ws_Session;
extern template class Ws_Session_T<Strand_Stream>;
extern template class Ws_Session_T<beast::ssl_stream<Strand_Stream>>;

}  // namespace wagent

#endif
