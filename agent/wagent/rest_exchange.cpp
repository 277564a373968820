// REST requests: parse into a Parsed_Request, run a fresh handler made by
// the service's creator, and turn its one answer into the HTTP response.
#include <ace/Log_Msg.h>

#include "agent/json_spirit/json_spirit.h"
#include "agent/wagent/http_session.h"
#include "agent/wagent/io_threads.h"

namespace wagent {

namespace {

class Rest_Reply : public JSON_RESTful_Channel {
 public:
  int reply_json(const json_spirit::Value& value) override {
    return set(200, value);
  }
  int reply_status(int status, int code) override {
    json_spirit::Object body;
    body["code"] = code;
    return set(status, body);
  }
  int reply_status(int status, int code, const char* message) override {
    json_spirit::Object body;
    body["code"] = code;
    if (message) body["message"] = message;
    return set(status, body);
  }

  bool replied() const { return replied_; }
  int status() const { return status_; }
  const json_spirit::Value& body() const { return body_; }

 private:
  // A handler answers once; a second answer is refused.
  int set(int status, const json_spirit::Value& body) {
    if (replied_ || status < 100 || status > 599) return -1;
    replied_ = true;
    status_ = status;
    body_ = body;
    return 0;
  }

  bool replied_ = false;
  int status_ = 0;
  json_spirit::Value body_;
};

// Holds a place in the service's gate for the request, waiting for it
// when the service is at its bound; the wait frees the io thread's place.
class Gate_Pass {
 public:
  explicit Gate_Pass(Concurrency_Gate* gate) : gate_(gate) {
    if (!gate_ || gate_->try_enter()) return;
    Io_Threads::Blocking_Scope waiting;
    gate_->enter();
  }
  ~Gate_Pass() { leave(); }
  void leave() {
    if (gate_) gate_->leave();
    gate_ = nullptr;
  }
  Gate_Pass(const Gate_Pass&) = delete;
  Gate_Pass& operator=(const Gate_Pass&) = delete;

 private:
  Concurrency_Gate* gate_;
};

}  // namespace

void fill_parsed_request(const Request& request, const tcp::endpoint& peer,
                         Parsed_Request& out) {
  out.method = std::string(request.method_string());
  std::string target(request.target());
  std::string::size_type q = target.find('?');
  out.path = target.substr(0, q);
  if (q != std::string::npos) parse_query_string(target.substr(q + 1), out.params);
  // A body that is not JSON reaches the handler as no body at all.
  if (!request.body().empty() &&
      !json_spirit::read(request.body(), out.body))
    out.body = json_spirit::Value();
  auto it = request.find("X-Forwarded-For");
  std::string forwarded = it == request.end() ? "" : std::string(it->value());
  out.client_addr = client_address(it == request.end() ? nullptr : &forwarded,
                                   peer);
  out.peer_addr = peer.address().to_string();
  out.forwarded = it != request.end();
  std::string key = request_session_key(request, false);
  if (!key.empty()) out.session = Session_Manager::instance()->load_session(key);
}

void serve_rest(const std::shared_ptr<Http_Session>& session,
                const std::shared_ptr<Request>& request,
                const Creator_Service<JSON_RESTful_Handler>& service) {
  Parsed_Request parsed;
  fill_parsed_request(*request, session->peer(), parsed);
  Rest_Reply reply;
  std::string allow;
  Gate_Pass pass(service.gate.get());

  JSON_RESTful_Handler* handler = service.creator->create();
  if (!handler) {
    ACE_ERROR((LM_ERROR, "%N:%l: no handler for %C: %m\n", parsed.path.c_str()));
    reply.reply_status(500, -1, "Internal error.");
  } else {
    Args args(service.args);
    try {
      if (handler->init(args.argc(), args.argv()) == 0)
        handler->handle_request(reply, parsed);
      else
        reply.reply_status(500, -1, "Internal error.");
    } catch (const std::exception& e) {
      ACE_ERROR((LM_ERROR, "%N:%l: %C %C failed: %C\n", parsed.method.c_str(),
                 parsed.path.c_str(), e.what()));
      reply.reply_status(500, -1, "Internal error.");
    }
    if (reply.replied() && reply.status() == 405) allow = handler->allowed_methods();
    handler->fini();
    service.creator->destroy(handler);
  }
  pass.leave();  // writing the answer is no longer the service's work

  std::shared_ptr<Response> response;
  if (!reply.replied()) {
    response = std::make_shared<Response>(http::status::no_content,
                                          request->version());
  } else {
    response = std::make_shared<Response>(
        static_cast<http::status>(reply.status()), request->version());
    response->set(http::field::content_type, "application/json");
    response->body() = json_spirit::JSON_Dump(reply.body(), false);
    response->body() += '\n';
  }
  if (!allow.empty()) response->set(http::field::allow, allow);
  response->keep_alive(request->keep_alive());
  if (reply.replied()) response->prepare_payload();
  session->send_final(response, request->keep_alive());
}

}  // namespace wagent
