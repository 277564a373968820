// A loopback HTTP and WebSocket echo server on its own threads: the
// baseline the host is measured against. Any HTTP request is answered 200
// with its own body (keep-alive as the request allows); on a WebSocket
// upgrade every message comes back as it came.
#ifndef BENCH_ECHO_SERVER_H
#define BENCH_ECHO_SERVER_H

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
