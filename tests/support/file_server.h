// A stand-in for the management server's file transfers: a loopback HTTP
// (or HTTPS, with a certificate made for the run) server on its own thread
// that answers GETs from a table, takes PUT uploads (and HEADs) on
// connections kept open, and notes each request. One request per
// connection for GETs.
#ifndef TESTS_SUPPORT_FILE_SERVER_H
#define TESTS_SUPPORT_FILE_SERVER_H

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace wire {

// Makes a self-signed certificate for 127.0.0.1 (good for a day) and its key
// as PEM files; throws when openssl cannot.
void make_certificate(const std::string& certificate, const std::string& key);

class File_Server {
 public:
  struct Answer {
    int status = 200;
    std::string body;
    std::string location;  // sent when not empty
    // The connection is closed after this many body bytes, although the
    // head announced them all (for a PUT: after that many bytes of the
    // upload were read, with no answer).
    std::size_t cut_after = std::string::npos;
  };
  struct Seen {
    std::string target;
    std::optional<std::string> access_key;  // X-ACCESS-KEY
    std::string method;
    std::string body;               // of a PUT
    std::string authorization;      // Authorization, "" when none
    std::size_t connection = 0;     // connections are numbered from 1
    std::string body_sha256;        // of the body as it arrived, lower-case hex
  };

  explicit File_Server(bool tls = false);
  ~File_Server();
  File_Server(const File_Server&) = delete;
  File_Server& operator=(const File_Server&) = delete;

  unsigned short port() const;
  // PEM file of the server's certificate (with tls), to trust it.
  const std::string& ca_file() const;
  // Targets without an answer get 404.
  void serve(const std::string& target, Answer answer);
  // How every PUT is answered (200 unless told).
  void serve_puts(Answer answer);
  // How the first `times` PUTs whose target ends with `target_end` are
  // answered (then as serve_puts says); rules are tried in the order given.
  void serve_puts_to(const std::string& target_end, Answer answer,
                     std::size_t times = std::string::npos);
  // Serves a connection accepted elsewhere (its descriptor is taken over).
  void adopt(int descriptor);
  std::vector<Seen> requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace wire

#endif
