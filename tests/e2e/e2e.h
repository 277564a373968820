// What the end-to-end tests share: configuration text that binds the built
// module, JSON-RPC call text, and reading the replies.
#ifndef TESTS_E2E_E2E_H
#define TESTS_E2E_E2E_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "agent/json_spirit/json_spirit.h"
#include "tests/fakes/json_print.h"
#include "tests/support/files.h"
#include "tests/support/wagent_process.h"
#include "tests/support/wire_client.h"

namespace e2e {

using json_spirit::Value;

// A configuration line binding `name` to a factory of the built module.
inline std::string bind(const std::string& kind, const std::string& name,
                        const std::string& factory) {
  return kind + " " + name + " " + WCOMMON_PATH + ":" + factory + "\n";
}

// A listener on an ephemeral loopback port, its data below `dir`.
inline std::string listener(const std::string& dir) {
  return "set listen 127.0.0.1:0\nset appdata " + dir + "/var\n";
}

inline std::string call(std::int64_t id, const std::string& method,
                        const std::string& params = "") {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
         "\"" + (params.empty() ? "" : ",\"params\":" + params) + "}";
}

inline std::string notify(const std::string& method, const std::string& params) {
  return "{\"jsonrpc\":\"2.0\",\"method\":\"" + method + "\",\"params\":" + params + "}";
}

// The error code of a reply, 0 when it carries a result.
inline int code_of(const std::string& reply) {
  const Value v = parse_json(reply);
  if (v.type() != json_spirit::obj_type) return -1;
  const json_spirit::Object& o = v.get_obj();
  return o.count("result") ? 0 : o.at("error").get_obj().at("code").get_int();
}

// Polls `done` until it holds or `limit` has passed; its last answer.
template <class Predicate>
bool eventually(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// How often `needle` occurs in `text`.
inline std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The host's ends of its IPv4 connections (local `port`) as the kernel
// lists them: those the host has not closed yet (established, or closed by
// the client only), or those with bytes their client has not read yet.
inline std::size_t host_ends(unsigned short port, bool unread_only) {
  std::size_t n = 0;
  if (FILE* f = std::fopen("/proc/net/tcp", "r")) {
    char line[512];
    unsigned local_port = 0, state = 0, tx = 0;
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, " %*d: %*x:%x %*x:%*x %x %x", &local_port, &state, &tx) == 3 &&
          local_port == port)
        n += unread_only ? tx > 0 : state == 0x01 || state == 0x08;  // ESTABLISHED, CLOSE_WAIT
    std::fclose(f);
  }
  return n;
}

// A loopback TCP connection to `port`, or -1.
inline int connect_to(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  ::close(fd);
  return -1;
}

// Everything the peer sends until it closes or resets ("<closed>" is added
// then) or `limit` passes; what is there already is read even past it.
inline std::string read_until_closed(int fd, std::chrono::milliseconds limit) {
  using namespace std::chrono;
  std::string got;
  const auto end = steady_clock::now() + limit;
  char buf[4096];
  for (;;) {
    const auto left = duration_cast<milliseconds>(end - steady_clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(std::max<long long>(0, left))) != 1) return got;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return got + "<closed>";
    got.append(buf, static_cast<std::size_t>(n));
  }
}

// Bytes no HTTP client library would send, on a connection of their own;
// what the host answered, as read_until_closed tells it.
inline std::string raw_exchange(unsigned short port, const std::string& bytes,
                                std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const int fd = connect_to(port);
  if (fd < 0) return "<no connection>";
  const bool sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0;
  const std::string answer = sent ? read_until_closed(fd, limit) : "<not sent>";
  ::close(fd);
  return answer;
}

// Runs a shell command; its exit code (-1 unless it exited) and its output
// with stderr.
inline std::pair<int, std::string> run_command(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return {-1, "popen failed"};
  char block[4096];
  for (std::size_t n; (n = std::fread(block, 1, sizeof block, pipe)) > 0;) output.append(block, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// A loopback port that completes TCP handshakes and never answers: a server
// that hangs. Closed with the object.
struct Silent_Server {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  unsigned short port = 0;
  Silent_Server() {
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), size);
    ::listen(fd, 64);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    port = ntohs(a.sin_port);
  }
  ~Silent_Server() { ::close(fd); }
  Silent_Server(const Silent_Server&) = delete;
  Silent_Server& operator=(const Silent_Server&) = delete;
};

}  // namespace e2e

#endif
