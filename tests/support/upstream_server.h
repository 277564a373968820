// A stand-in for the management server: accepts the agent's upstream
// WebSocket on loopback, one connection at a time, and lets a test send
// JSON-RPC text to the agent and read what comes back. Given a File_Server,
// it hands that server every connection to its port that does not start
// with a GET (the agent's uploads go to the host and port of its WebSocket);
// over TLS it hands on nothing.
#ifndef TESTS_SUPPORT_UPSTREAM_SERVER_H
#define TESTS_SUPPORT_UPSTREAM_SERVER_H

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace wire {

class File_Server;

class Upstream_Server {
 public:
  // PEM files of the certificate and key a wss:// server shows.
  struct Tls_Identity {
    std::string certificate, key;
  };
  // Plain ws://, or wss:// with `tls`.
  explicit Upstream_Server(File_Server* http = nullptr, const Tls_Identity* tls = nullptr);
  ~Upstream_Server();
  Upstream_Server(const Upstream_Server&) = delete;
  Upstream_Server& operator=(const Upstream_Server&) = delete;

  unsigned short port() const;
  // Waits until `n` connections have been accepted in all (over TLS, each
  // after a TLS handshake that succeeded).
  bool wait_connections(std::size_t n, std::chrono::milliseconds timeout);
  // Sends `text` (nothing when empty) on the current connection and reads
  // the next message back (the next whose text holds `fragment`, others
  // skipped): nothing on failure or timeout; a timeout drops the connection.
  std::optional<std::string> exchange(const std::string& text, std::chrono::milliseconds timeout,
                                      const std::string& fragment = "");
  // Sends `text` on the current connection; false on failure or timeout.
  bool send(const std::string& text, std::chrono::milliseconds timeout);
  // Sends `bytes` as a binary message on the current connection; false on
  // failure or timeout.
  bool send_binary(const std::string& bytes, std::chrono::milliseconds timeout);
  // Reads on the current connection until the agent closes it: the code of
  // its close frame, or -1 (no close frame, or a timeout).
  int read_close_code(std::chrono::milliseconds timeout);
  // Closes the current connection, as a server that goes away.
  void drop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace wire

#endif
