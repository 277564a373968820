// A stand-in for the management server's file downloads: a loopback HTTP
// (or HTTPS, with a certificate made for the run) server on its own thread
// that answers GETs from a table and notes each request's target and
// access key. One request per connection.
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
    // head announced them all.
    std::size_t cut_after = std::string::npos;
  };
  struct Seen {
    std::string target;
    std::optional<std::string> access_key;  // X-ACCESS-KEY
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
  std::vector<Seen> requests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace wire

#endif
