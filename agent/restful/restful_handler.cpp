#include "agent/restful/restful_handler.h"

#include <cctype>

#include "agent/platform/net_interfaces.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string url_decode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::string::size_type i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() &&
               hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 +
                               hex_value(text[i + 2]));
      i += 2;
    } else {
      out += c;  // a stray '%' stays as it is
    }
  }
  return out;
}

}  // namespace

void parse_query_string(const std::string& query,
                        std::map<std::string, std::string>& out) {
  std::string::size_type start = 0;
  while (start <= query.size()) {
    std::string::size_type end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    std::string pair = query.substr(start, end - start);
    if (!pair.empty()) {
      std::string::size_type eq = pair.find('=');
      std::string name = url_decode(pair.substr(0, eq));
      std::string value =
          eq == std::string::npos ? std::string() : url_decode(pair.substr(eq + 1));
      if (!name.empty()) out[name] = value;
    }
    start = end + 1;
  }
}

std::uint64_t rest_caller_classes(const Parsed_Request& request) {
  const bool user = !request.session.null();
  const bool local = platform::is_loopback_address(request.peer_addr);
  if (user) {
    if (!local) return REST_REMOTE_USER;
    return request.forwarded ? REST_LOCAL_USER
                             : REST_LOCAL_USER | REST_DIRECT_LOCAL_USER;
  }
  if (request.forwarded) return REST_PROXIED_ANONYMOUS;
  return local ? REST_LOCAL_ANONYMOUS : REST_REMOTE_ANONYMOUS;
}

const char REST_NOT_AUTHENTICATED[] = "User is not authenticated.";

JSON_RESTful_Channel::~JSON_RESTful_Channel() {}

JSON_RESTful_Handler::~JSON_RESTful_Handler() {}
int JSON_RESTful_Handler::init(int, char*[]) { return 0; }
int JSON_RESTful_Handler::fini() { return 0; }
int JSON_RESTful_Handler::concurrency() { return 0; }
std::string JSON_RESTful_Handler::allowed_methods() { return std::string(); }

JSON_RESTful_Handler_Impl2::JSON_RESTful_Handler_Impl2(std::uint64_t mask,
                                                       std::uint32_t value)
    : mask_(mask), value_(value) {}

JSON_RESTful_Handler_Impl2::~JSON_RESTful_Handler_Impl2() {}

int JSON_RESTful_Handler_Impl2::concurrency() { return 0; }

int JSON_RESTful_Handler_Impl2::handle_request(JSON_RESTful_Channel& channel,
                                               Parsed_Request& request) {
  if ((rest_caller_classes(request) & mask_) == 0)
    return request.session.null()
               ? channel.reply_status(401, -1, REST_NOT_AUTHENTICATED)
               : channel.reply_status(403, -1, "Insufficient user permissions.");
  int rc = check_request(channel, request);
  if (rc != 0) return rc;
  rc = check_session(channel, request);
  if (rc != 0) return rc;
  const std::string& m = request.method;
  if (m == "GET") return handle_get(channel, request);
  if (m == "POST") return handle_post(channel, request);
  if (m == "PUT") return handle_put(channel, request);
  if (m == "DELETE") return handle_delete(channel, request);
  if (m == "HEAD") return handle_head(channel, request);
  return channel.reply_status(405, -1, "Method not allowed.");
}

int JSON_RESTful_Handler_Impl2::handle_uri_suffix(const std::string&) {
  return 0;
}
int JSON_RESTful_Handler_Impl2::handle_query_string(const std::string&) {
  return 0;
}
int JSON_RESTful_Handler_Impl2::handle_headers() { return 0; }
unsigned JSON_RESTful_Handler_Impl2::head_auth_modes() { return 0; }
unsigned JSON_RESTful_Handler_Impl2::get_auth_modes() { return 0; }
unsigned JSON_RESTful_Handler_Impl2::post_auth_modes() { return 0; }
unsigned JSON_RESTful_Handler_Impl2::put_auth_modes() { return 0; }
unsigned JSON_RESTful_Handler_Impl2::delete_auth_modes() { return 0; }
const char* JSON_RESTful_Handler_Impl2::head_filters() { return nullptr; }
const char* JSON_RESTful_Handler_Impl2::get_filters() { return nullptr; }
const char* JSON_RESTful_Handler_Impl2::post_filters() { return nullptr; }
const char* JSON_RESTful_Handler_Impl2::put_filters() { return nullptr; }
const char* JSON_RESTful_Handler_Impl2::delete_filters() { return nullptr; }
const char* JSON_RESTful_Handler_Impl2::head_uri_suffix_pattern() {
  return nullptr;
}
const char* JSON_RESTful_Handler_Impl2::get_uri_suffix_pattern() {
  return nullptr;
}
const char* JSON_RESTful_Handler_Impl2::post_uri_suffix_pattern() {
  return nullptr;
}
const char* JSON_RESTful_Handler_Impl2::put_uri_suffix_pattern() {
  return nullptr;
}
const char* JSON_RESTful_Handler_Impl2::delete_uri_suffix_pattern() {
  return nullptr;
}
int JSON_RESTful_Handler_Impl2::check_request(JSON_RESTful_Channel&,
                                              Parsed_Request&) {
  return 0;
}
int JSON_RESTful_Handler_Impl2::check_session(JSON_RESTful_Channel&,
                                              Parsed_Request&) {
  // Endpoints decide themselves whether they need a user.
  return 0;
}

#define WAGENT_REST_METHOD_NOT_ALLOWED(NAME)                         \
  int JSON_RESTful_Handler_Impl2::NAME(JSON_RESTful_Channel& channel, \
                                       Parsed_Request&) {             \
    return channel.reply_status(405, -1, "Method not allowed.");     \
  }
WAGENT_REST_METHOD_NOT_ALLOWED(handle_get)
WAGENT_REST_METHOD_NOT_ALLOWED(handle_post)
WAGENT_REST_METHOD_NOT_ALLOWED(handle_put)
WAGENT_REST_METHOD_NOT_ALLOWED(handle_delete)
#undef WAGENT_REST_METHOD_NOT_ALLOWED

int JSON_RESTful_Handler_Impl2::handle_head(JSON_RESTful_Channel& channel,
                                            Parsed_Request& request) {
  // The host leaves the body out.
  return handle_get(channel, request);
}

template class Object_Creator_T<JSON_RESTful_Handler>;
