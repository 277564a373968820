// The JSON REST framework: the host parses each request into a
// Parsed_Request, makes a fresh handler through the service's creator, and
// serve() calls the handler's operation for the HTTP method. Handlers answer
// on the JSON_RESTful_Channel.
#ifndef RESTFUL_RESTFUL_HANDLER_H
#define RESTFUL_RESTFUL_HANDLER_H

#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <utility>

#include "agent/json_spirit/json_spirit.h"
#include "agent/plugin/object_creator.h"
#include "agent/modsess/session.h"

struct Parsed_Request {
  std::string method;   // "GET", "POST", ...
  std::string path;
  // The body read as JSON; null when there was none or it was not JSON.
  json_spirit::Value body;
  // The client's original address as text.
  std::string client_addr;
  // The address of the connection's other end, and whether the request
  // says it came through a proxy (it carries X-Forwarded-For). Only these
  // decide who the caller is: a forwarded address can be forged.
  std::string peer_addr;
  bool forwarded = false;
  // The query string, decoded; the last of repeated names wins.
  std::map<std::string, std::string> params;
  // Empty when the request carries no valid session key.
  Session_Ptr session;
};

// Decodes "a=1&b=x%20y" into `out`; '+' is a space.
void parse_query_string(const std::string& query,
                        std::map<std::string, std::string>& out);

// The callers an endpoint serves: its base mask is a union of these
// classes. A caller belongs to the classes its session (known or not) and
// its route (loopback peer or not, through a proxy or not) put it in; the
// framework lets it on when one of them is in the mask.
enum REST_Caller_Class : std::uint64_t {
  REST_LOCAL_USER = 1,          // session, loopback peer, proxy or not
  REST_LOCAL_ANONYMOUS = 2,     // no session, loopback peer, no proxy
  REST_REMOTE_ANONYMOUS = 4,    // no session, other peer, no proxy
  REST_REMOTE_USER = 8,         // session, other peer
  REST_PROXIED_ANONYMOUS = 16,  // no session, through a proxy
  REST_DIRECT_LOCAL_USER = 32,  // session, loopback peer, no proxy
};

// The callers REST endpoints serve, as masks of those classes. The values
// are part of the endpoints' contract; the names say what they mean.
// Local callers, and anonymous ones that came straight to the agent.
const std::uint64_t REST_LOCAL_OR_DIRECT_ANONYMOUS =
    REST_LOCAL_USER | REST_LOCAL_ANONYMOUS | REST_REMOTE_ANONYMOUS;
// Everyone but an anonymous caller from another machine.
const std::uint64_t REST_ALL_BUT_REMOTE_ANONYMOUS =
    REST_LOCAL_USER | REST_LOCAL_ANONYMOUS | REST_REMOTE_USER | REST_PROXIED_ANONYMOUS;
// A signed-in caller on this machine, not through a proxy.
const std::uint64_t REST_DIRECT_LOCAL_USER_ONLY = REST_DIRECT_LOCAL_USER;
const std::uint64_t REST_ANYONE = ~std::uint64_t(0);
static_assert(REST_LOCAL_OR_DIRECT_ANONYMOUS == 7 && REST_ALL_BUT_REMOTE_ANONYMOUS == 27 &&
                  REST_DIRECT_LOCAL_USER_ONLY == 32,
              "REST caller masks are fixed by the endpoints' contract");

// The refusal of a request without a session.
extern const char REST_NOT_AUTHENTICATED[];

// The classes `request`'s caller belongs to.
std::uint64_t rest_caller_classes(const Parsed_Request& request);

class JSON_RESTful_Channel {
 public:
  virtual ~JSON_RESTful_Channel();
  // Success: `value` is the body (200).
  virtual int reply_json(const json_spirit::Value& value) = 0;
  // An error: body {"code": code} or {"code": code, "message": message}.
  virtual int reply_status(int status, int code) = 0;
  virtual int reply_status(int status, int code, const char* message) = 0;
};

class JSON_RESTful_Handler {
 public:
  virtual ~JSON_RESTful_Handler();
  virtual int init(int argc, char* argv[]);
  virtual int fini();
  // How many requests of this handler's service may run at once; 0 for no
  // limit. The host asks once, when it binds the service; requests beyond
  // the limit wait their turn.
  virtual int concurrency();
  // Called for every request; the default calls the operation of the
  // request's method.
  virtual int handle_request(JSON_RESTful_Channel& channel,
                             Parsed_Request& request) = 0;
  // The methods this endpoint answers, as an Allow field lists them, for
  // a request answered 405; empty when the handler does not say.
  virtual std::string allowed_methods();
};

// The base of every REST endpoint. `mask` names the callers it serves
// (REST_Caller_Class bits; all bits: anyone); `value` is the handler's own.
class JSON_RESTful_Handler_Impl2 : public JSON_RESTful_Handler {
 public:
  JSON_RESTful_Handler_Impl2(std::uint64_t mask, std::uint32_t value);
  ~JSON_RESTful_Handler_Impl2() override;

  int concurrency() override;
  // The caller policy of the mask (a refused caller gets 401 without a
  // session, 403 with one), the checks, then the operation of the method.
  // A method without an operation gets 405.
  int handle_request(JSON_RESTful_Channel& channel,
                     Parsed_Request& request) override;
  virtual int handle_uri_suffix(const std::string& suffix);
  virtual int handle_query_string(const std::string& query);
  virtual int handle_headers();
  virtual unsigned head_auth_modes();
  virtual unsigned get_auth_modes();
  virtual unsigned post_auth_modes();
  virtual unsigned put_auth_modes();
  virtual unsigned delete_auth_modes();
  virtual const char* head_filters();
  virtual const char* get_filters();
  virtual const char* post_filters();
  virtual const char* put_filters();
  virtual const char* delete_filters();
  virtual const char* head_uri_suffix_pattern();
  virtual const char* get_uri_suffix_pattern();
  virtual const char* post_uri_suffix_pattern();
  virtual const char* put_uri_suffix_pattern();
  virtual const char* delete_uri_suffix_pattern();
  // 0 lets the request through; anything else has been answered already.
  virtual int check_request(JSON_RESTful_Channel& channel,
                            Parsed_Request& request);
  virtual int check_session(JSON_RESTful_Channel& channel,
                            Parsed_Request& request);
  // Each default answers 405, but HEAD, which is GET without the body.
  virtual int handle_head(JSON_RESTful_Channel& channel,
                          Parsed_Request& request);
  virtual int handle_get(JSON_RESTful_Channel& channel,
                         Parsed_Request& request);
  virtual int handle_post(JSON_RESTful_Channel& channel,
                          Parsed_Request& request);
  virtual int handle_put(JSON_RESTful_Channel& channel,
                         Parsed_Request& request);
  virtual int handle_delete(JSON_RESTful_Channel& channel,
                            Parsed_Request& request);

  std::uint64_t mask() const { return mask_; }
  std::uint32_t value() const { return value_; }

 private:
  std::uint64_t mask_;
  std::uint32_t value_;
};

// The methods a handler class answers, from the operations it defines
// itself (the inherited ones answer 405); a HEAD comes with GET.
template <class Handler>
std::string rest_allowed_methods() {
  typedef int (JSON_RESTful_Handler_Impl2::*Inherited)(JSON_RESTful_Channel&,
                                                      Parsed_Request&);
  const bool get = !std::is_same<decltype(&Handler::handle_get), Inherited>::value;
  const bool head = get || !std::is_same<decltype(&Handler::handle_head), Inherited>::value;
  const bool post = !std::is_same<decltype(&Handler::handle_post), Inherited>::value;
  const bool put = !std::is_same<decltype(&Handler::handle_put), Inherited>::value;
  const bool del = !std::is_same<decltype(&Handler::handle_delete), Inherited>::value;
  std::string allow;
  for (auto m : {std::make_pair(get, "GET"), std::make_pair(head, "HEAD"),
                 std::make_pair(post, "POST"), std::make_pair(put, "PUT"),
                 std::make_pair(del, "DELETE")})
    if (m.first) allow += (allow.empty() ? "" : ", ") + std::string(m.second);
  return allow;
}

// A REST endpoint as the module hands it out: the handler, telling the
// host which methods it answers.
template <class Handler>
class Rest_Endpoint_T final : public Handler {
 public:
  std::string allowed_methods() override {
    static const std::string allow = rest_allowed_methods<Handler>();
    return allow;
  }
};

// The creator the host keeps for a REST service is the plain
// Object_Creator_T<JSON_RESTful_Handler>; the module supplies create and
// destroy. Its type information lives here only.
extern template class Object_Creator_T<JSON_RESTful_Handler>;

#endif
