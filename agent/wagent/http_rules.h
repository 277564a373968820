// What HTTP/1.1 asks of every exchange, whatever serves it: the checks of
// a request's head before its body is read, and the fields every response
// carries.
#ifndef WAGENT_HTTP_RULES_H
#define WAGENT_HTTP_RULES_H

#include <ctime>
#include <string>

#include "agent/wagent/net.h"

namespace wagent {

// What the head of a request leaves to do before its body is read.
enum class Head_Verdict {
  serve,           // read the body (if any) and serve
  send_continue,   // answer 100 (Continue) first: the client waits for it
  bad_host,        // 400: HTTP/1.1 needs exactly one Host field
  bad_expect,      // 417: an expectation this host cannot meet
};

// Checks the head of `request` and turns an absolute-form target
// ("http://host:port/path?query") into the origin form the routes know.
// `body_pending` tells whether body bytes are still to be read.
Head_Verdict check_request_head(http::request_header<>& request, bool body_pending);

// The origin form of an absolute-form target; any other target as it is.
std::string origin_form(beast::string_view target);

// The IMF-fixdate of `t` ("Tue, 08 Dec 2026 13:04:51 GMT").
std::string http_date(std::time_t t);
// The same for now, made at most once a second per thread.
const std::string& http_date_now();

// Fields every response gets as it leaves: Date, and on 401 the challenge
// that names the header carrying a session.
void stamp_response(http::response_header<>& response);

}  // namespace wagent

#endif
