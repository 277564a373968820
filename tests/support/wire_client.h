// A blocking HTTP/1.1 and WebSocket client for loopback tests and
// benchmarks. Every operation is bounded by the client's timeout, so a test
// against a stuck server fails instead of hanging. One thread uses one
// client; the HTTP connection and the WebSocket are separate sockets.
#ifndef TESTS_SUPPORT_WIRE_CLIENT_H
#define TESTS_SUPPORT_WIRE_CLIENT_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace wire {

// Fields to send, in order; a name may repeat.
using Header_List = std::vector<std::pair<std::string, std::string>>;

struct Http_Response {
  bool ok = false;  // a whole response was read; last_error() tells why not
  int status = 0;
  std::string body;
  std::size_t chunk_count = 0;  // non-empty chunks received, when chunked
  bool keep_alive = false;      // the server left the connection open
};

class Wire_Client {
 public:
  // `host` is a numeric address (a name throws at the first connection).
  Wire_Client(std::string host, unsigned short port,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));
  ~Wire_Client();
  Wire_Client(const Wire_Client&) = delete;
  Wire_Client& operator=(const Wire_Client&) = delete;

  // ---- HTTP, one keep-alive connection, opened on demand ----
  // Sends a request and reads its response. Host, Content-Length and
  // (when there is a body and none is given) Content-Type:
  // application/json are added.
  Http_Response request(const std::string& method, const std::string& target,
                        const std::string& body = {},
                        const Header_List& headers = {});
  // The two halves of request(), for a test that leaves between them or
  // pipelines. send_request answers false (see last_error) on failure.
  bool send_request(const std::string& method, const std::string& target,
                    const std::string& body = {},
                    const Header_List& headers = {});
  Http_Response read_response();
  // Closes the HTTP connection at once, as a requester that goes away.
  void disconnect();

  // ---- WebSocket ----
  // Opens a WebSocket with a handshake on `target` (e.g.
  // "/jsonrpc?session=k"); false on failure.
  bool ws_connect(const std::string& target);
  bool ws_send(const std::string& text);
  // The next message, or nothing on timeout, close or failure. After a
  // timeout the read stays pending, so a later call can still get the
  // message.
  std::optional<std::string> ws_receive(std::chrono::milliseconds timeout);
  // Frames that carried the message last received.
  std::size_t ws_last_frame_count() const;
  // Sends a close frame and waits for the server's.
  bool ws_close();

  // Sockets opened from now on get a receive buffer of `receive_buffer`
  // bytes and, when `max_segment` is not 0, TCP segments of at most that
  // many (both set before connecting): a client on a slow, narrow link that
  // takes little at a time, for which the server's kernel holds little
  // (loopback's 64 KiB segments let it hold megabytes). 0 leaves the
  // system's.
  void set_slow_link(int receive_buffer, int max_segment = 0);

  const std::string& last_error() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace wire

#endif
