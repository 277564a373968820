// The agent's HTTP client over libcurl: sessions toward one server, requests
// numbered as the HTTP framework numbers methods and headers, and whole-file
// downloads. Certificates are verified, redirects are bounded and stay on
// the session's server, and a file appears only once it arrived whole.
#ifndef CLNTIO_HTTP_CLIENT_H
#define CLNTIO_HTTP_CLIENT_H

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace clntio {

// Headers the agent sends beyond the framework's table (http_head_string),
// numbered clear of it.
enum HTTP_Client_Header { HTTP_HEADER_X_ACCESS_KEY = 48 };

// Name of header number `code`: the framework's for its codes,
// "X-ACCESS-KEY" for 48; null for any other.
const char* http_request_header_name(int code);

class HTTP_Headers {
 public:
  // Adds header `code` with `value`; with `replace`, earlier values of that
  // header go. False for an unknown code or a value holding CR, LF or NUL
  // (it could start a header of its own).
  bool put(int code, const std::string& value, bool replace);
  // Adds a header by name (a private storage names its own). False for a
  // name that is not an HTTP token or a value as above.
  bool put(const std::string& name, const std::string& value);
  const std::vector<std::pair<std::string, std::string>>& fields() const {
    return fields_;
  }

 private:
  std::vector<std::pair<std::string, std::string>> fields_;
};

class HTTP_Request {
 public:
  // `method` is a method code of the HTTP framework (3 GET, 4 PUT, ...);
  // `path` as uri(path, encoded) takes it.
  HTTP_Request(int method, const std::string& path, bool encoded);

  // Sets the request's path. Unless `encoded`, bytes that may not stand in
  // a URL path as they are (space, %, ?, #, controls, NUL, non-ASCII) are
  // percent-encoded.
  void uri(const std::string& path, bool encoded);
  const std::string& uri() const { return uri_; }
  int method() const { return method_; }
  HTTP_Headers& headers() { return headers_; }
  const HTTP_Headers& headers() const { return headers_; }

 private:
  int method_;
  std::string uri_;
  HTTP_Headers headers_;
};

// Where and how to reach one server; shared by the transfers made with it.
struct HTTP_Session {
  std::string host;
  unsigned short port = 0;
  bool tls = false;
  std::string proxy;            // "" for none (the environment's are ignored)
  long max_redirects = 0;
  std::string ca_file;          // "" for the system's authorities
  bool insecure = false;        // true skips certificate checks
  long connect_timeout = 0;     // seconds
  long idle_timeout = 0;        // seconds without a byte before giving up
  long max_recv_speed = 0;      // bytes/s, 0 for no limit
  long max_send_speed = 0;

  // "http(s)://HOST:PORT", the base of every URL of the session.
  std::string base_url() const;
};

typedef std::shared_ptr<HTTP_Session> HTTP_Session_Ptr;

class HTTP_Session_Factory {
 public:
  // Null `proxy` or `ca_file` for none. Null when the session cannot be
  // made (no host, no memory).
  static HTTP_Session_Ptr create(const std::string& host, unsigned short port,
                                 bool tls, const char* proxy,
                                 long max_redirects, const char* ca_file,
                                 bool insecure, long connect_timeout,
                                 long idle_timeout, long max_recv_speed,
                                 long max_send_speed);
};

// The authorities every TLS server the agent talks to is checked against:
// a PEM file (the host's `tls.ca_file`), or "" for the system's store.
// Sessions made without a CA file of their own use it.
void set_trusted_authorities(const std::string& ca_file);
std::string trusted_authorities();

// The file name a download of `uri` is stored under: its last segment
// ("a/b/tool.sh" gives "tool.sh", "tool" gives itself). False for an empty
// segment, ".", "..", or one holding a backslash or a NUL byte, so no uri
// can name a place outside the downloads folder.
bool download_file_name(const std::string& uri, std::string& name);

// Fetches `request` into `local_path`. The body goes to a temporary file in
// the same folder, renamed over `local_path` only when the transfer ended
// whole with a 2xx status; otherwise nothing is left (an older file of that
// name is removed too) and false is returned.
bool http_session_get_file(const HTTP_Session_Ptr& session,
                           const HTTP_Request& request,
                           const std::string& local_path);
// The same, the body hashed as it is written: a file whose SHA-256 is not
// `sha256` (64 hex digits) fails as a broken transfer does, and is not
// left. An empty `sha256` checks nothing.
bool http_session_get_file(const HTTP_Session_Ptr& session,
                           const HTTP_Request& request,
                           const std::string& local_path, const std::string& sha256);

// A request body made while it is sent: fills `buffer` with up to `size`
// bytes and returns how many, 0 at the end, -1 on failure (the transfer is
// then cut short and fails).
typedef std::function<long(char* buffer, std::size_t size)> HTTP_Body_Source;
// Starts a body over from its first byte (a connection found closed is
// retried on a fresh one); false when it cannot.
typedef std::function<bool()> HTTP_Body_Rewind;

// One connection to the session's server, kept open from one request to the
// next (a libcurl handle of its own), so many files go over one TCP and TLS
// handshake. Not for use by two threads at once.
class HTTP_Connection {
 public:
  explicit HTTP_Connection(HTTP_Session_Ptr session);
  ~HTTP_Connection();
  HTTP_Connection(const HTTP_Connection&) = delete;
  HTTP_Connection& operator=(const HTTP_Connection&) = delete;

  // Reaches the server now with a HEAD of `request`, whose answer is not
  // looked at, and keeps the connection. False when the server cannot be
  // reached (error() tells why).
  bool open(const HTTP_Request& request);

  // PUTs `request` with the body `source` makes: `length` bytes, or chunked
  // when the length is unknown (-1). True on a 2xx answer; otherwise
  // error() tells why.
  bool send(const HTTP_Request& request, const HTTP_Body_Source& source,
            long long length, const HTTP_Body_Rewind& rewind);

  const std::string& error() const { return error_; }

 private:
  struct Impl;
  bool perform(const HTTP_Request& request, bool any_status);

  HTTP_Session_Ptr session_;
  std::unique_ptr<Impl> impl_;
  std::string error_;
};

}  // namespace clntio

#endif
