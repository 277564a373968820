#include "agent/httpd/http_io.h"

#include <strings.h>

#include <cctype>

namespace {

struct Header_Name {
  const char* canonical;
  const char* lower;
};

// Indexed by HTTP_Header_Code.
const Header_Name header_names[HTTP_HEADER_COUNT] = {
    {"Accept", "accept"},
    {"Accept-Encoding", "accept-encoding"},
    {"Accept-Language", "accept-language"},
    {"Authorization", "authorization"},
    {"Cache-Control", "cache-control"},
    {"Connection", "connection"},
    {"Content-Encoding", "content-encoding"},
    {"Content-Length", "content-length"},
    {"Content-Type", "content-type"},
    {"Cookie", "cookie"},
    {"Date", "date"},
    {"Expect", "expect"},
    {"Host", "host"},
    {"Origin", "origin"},
    {"Referer", "referer"},
    {"Transfer-Encoding", "transfer-encoding"},
    {"Upgrade", "upgrade"},
    {"User-Agent", "user-agent"},
    {"X-Forwarded-For", "x-forwarded-for"},
    {"X-Session-Key", "x-session-key"},
};

}  // namespace

int http_method_code(const std::string& name) {
  static const char* const names[] = {"", "HEAD", "POST", "GET",
                                      "PUT", "DELETE", "OPTIONS", "PATCH"};
  for (int code = 1; code < static_cast<int>(sizeof names / sizeof *names);
       ++code)
    if (name == names[code]) return code;
  return HTTP_METHOD_OTHER;
}

const char* http_head_string(int code, int flag) {
  if (code < 0 || code >= HTTP_HEADER_COUNT) return nullptr;
  return flag ? header_names[code].lower : header_names[code].canonical;
}

int http_head_code(const std::string& name) {
  for (int code = 0; code < HTTP_HEADER_COUNT; ++code)
    if (::strcasecmp(name.c_str(), header_names[code].lower) == 0) return code;
  return HTTP_HEADER_OTHER;
}

CGI_Base::~CGI_Base() {}

const std::string* CGI_Base::header(const std::string& name) const {
  for (const HTTP_Header& h : headers_)
    if (::strcasecmp(h.name.c_str(), name.c_str()) == 0) return &h.value;
  return nullptr;
}

void CGI_Base::set_method(const std::string& name) {
  method_name_ = name;
  method_ = http_method_code(name);
}

void CGI_Base::set_uri(const std::string& target) {
  uri_ = target;
  std::string::size_type q = target.find('?');
  path_ = target.substr(0, q);
  query_ = q == std::string::npos ? std::string() : target.substr(q + 1);
}

void CGI_Base::add_header(const std::string& name, const std::string& value) {
  headers_.push_back(HTTP_Header{http_head_code(name), name, value});
}

void HTTP_Response::set(int setting, bool on) {
  if (on)
    settings_ |= setting;
  else
    settings_ &= ~setting;
}

HTTP_IO::~HTTP_IO() {}

const char* http_status_text(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Unknown";
  }
}
