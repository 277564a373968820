// A loopback HTTP and WebSocket echo server on its own threads: the other
// end for client tests, and the baseline the host is measured against.
//
// HTTP: any request is answered with its own body (status 200, the
// request's Content-Type or application/json), keeping the connection
// while the request allows. Request fields starting with "X-" come back as
// response fields. "X-Echo-Status: N" answers N instead of 200 (and refuses
// a WebSocket upgrade); "X-Echo-Chunks: N" sends the body chunked, in N
// chunks.
// WebSocket (any target, on upgrade): every message comes back as it came;
// "X-Echo-Fragment: N" on the handshake cuts replies into frames of N bytes
// (8 at least).
#ifndef TESTS_SUPPORT_ECHO_SERVER_H
#define TESTS_SUPPORT_ECHO_SERVER_H

#include <memory>
#include <string>

namespace wire {

class Echo_Server {
 public:
  // Listens on 127.0.0.1 with an ephemeral port.
  explicit Echo_Server(unsigned threads = 1);
  ~Echo_Server();
  Echo_Server(const Echo_Server&) = delete;
  Echo_Server& operator=(const Echo_Server&) = delete;

  std::string host() const { return "127.0.0.1"; }
  unsigned short port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace wire

#endif
