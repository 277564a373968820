// One HTTP exchange as the HTTP framework hands it to a handler: the parsed
// request, the response head, and the body written in pieces.
#ifndef HTTPD_HTTP_IO_H
#define HTTPD_HTTP_IO_H

#include <cstddef>
#include <string>
#include <vector>

// Method codes. They are fixed: handlers test them.
enum HTTP_Method_Code {
  HTTP_METHOD_OTHER = 0,
  HTTP_METHOD_HEAD = 1,
  HTTP_METHOD_POST = 2,
  HTTP_METHOD_GET = 3,
  HTTP_METHOD_PUT = 4,
  HTTP_METHOD_DELETE = 5,
  HTTP_METHOD_OPTIONS = 6,
  HTTP_METHOD_PATCH = 7
};

// Method code of a method name ("GET" -> 3); HTTP_METHOD_OTHER when unknown.
int http_method_code(const std::string& name);

// Codes of the header names the framework knows. A header outside the table
// has code HTTP_HEADER_OTHER and keeps the name as received.
enum HTTP_Header_Code {
  HTTP_HEADER_OTHER = -1,
  HTTP_HEADER_ACCEPT = 0,
  HTTP_HEADER_ACCEPT_ENCODING,
  HTTP_HEADER_ACCEPT_LANGUAGE,
  HTTP_HEADER_AUTHORIZATION,
  HTTP_HEADER_CACHE_CONTROL,
  HTTP_HEADER_CONNECTION,
  HTTP_HEADER_CONTENT_ENCODING,
  HTTP_HEADER_CONTENT_LENGTH,
  HTTP_HEADER_CONTENT_TYPE,
  HTTP_HEADER_COOKIE,
  HTTP_HEADER_DATE,
  HTTP_HEADER_EXPECT,
  HTTP_HEADER_HOST,
  HTTP_HEADER_ORIGIN,
  HTTP_HEADER_REFERER,
  HTTP_HEADER_TRANSFER_ENCODING,
  HTTP_HEADER_UPGRADE,
  HTTP_HEADER_USER_AGENT,
  HTTP_HEADER_X_FORWARDED_FOR,
  HTTP_HEADER_X_SESSION_KEY,
  HTTP_HEADER_COUNT
};

// Name of a known header: flag 0 gives the canonical spelling
// ("Content-Type"), any other flag the lower-case one. Null for codes
// outside the table.
const char* http_head_string(int code, int flag);
// Code of a header name, compared without regard to case.
int http_head_code(const std::string& name);

struct HTTP_Header {
  int code;           // HTTP_Header_Code
  std::string name;   // as received
  std::string value;
};

// What the framework knows of a request before the handler sees it.
class CGI_Base {
 public:
  virtual ~CGI_Base();

  int method() const { return method_; }
  const std::string& method_name() const { return method_name_; }
  // The request target as received, its path and its query (after '?').
  const std::string& uri() const { return uri_; }
  const std::string& path() const { return path_; }
  const std::string& query() const { return query_; }
  // In the order they arrived.
  const std::vector<HTTP_Header>& headers() const { return headers_; }
  // The first header with this name (any case); null when there is none.
  const std::string* header(const std::string& name) const;

  void set_method(const std::string& name);
  void set_uri(const std::string& target);
  void add_header(const std::string& name, const std::string& value);

 private:
  int method_ = HTTP_METHOD_OTHER;
  std::string method_name_;
  std::string uri_, path_, query_;
  std::vector<HTTP_Header> headers_;
};

class HTTP_Request : public CGI_Base {};

// The response head; it is fixed once the first body bytes are written.
class HTTP_Response {
 public:
  enum Setting {
    // The body's length is open when writing starts: it goes out in chunks.
    CHUNKED = 1
  };

  void set(int setting, bool on);
  bool is_set(int setting) const { return (settings_ & setting) != 0; }

  void status(int code) { status_ = code; }
  int status() const { return status_; }
  void content_type(const std::string& type) { content_type_ = type; }
  const std::string& content_type() const { return content_type_; }
  void add_header(const std::string& name, const std::string& value) {
    headers_.emplace_back(name, value);
  }
  const std::vector<std::pair<std::string, std::string>>& headers() const {
    return headers_;
  }

 private:
  int settings_ = 0;
  int status_ = 200;
  std::string content_type_;
  std::vector<std::pair<std::string, std::string>> headers_;
};

class HTTP_IO {
 public:
  virtual ~HTTP_IO();

  virtual HTTP_Request& request() = 0;
  virtual HTTP_Response& response() = 0;

  // Appends to the response body; the first call sends the head. `last`
  // ends the body. 0, or -1 when the client can no longer be written to.
  virtual int write_body(const char* data, std::size_t length, bool last) = 0;

  // Answers with `status` and a short text body instead of the handler's
  // own response. A null `reason` or `body` gets the standard reason phrase
  // of the status. Only possible before any body bytes went out.
  virtual int send_error(int status, const char* reason, const char* body) = 0;
};

// Standard reason phrase of a status ("Not Found"); "Unknown" otherwise.
const char* http_status_text(int status);

#endif
