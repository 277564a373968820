// Plain HTTP requests: a fresh handler per request gets the body, then
// answers through an HTTP_IO whose writes go straight to the connection.
#include <ace/Log_Msg.h>

#include "agent/httpd/http_io.h"
#include "agent/wagent/http_session.h"

namespace wagent {

namespace {

class Session_IO : public HTTP_IO {
 public:
  Session_IO(const std::shared_ptr<Http_Session>& session,
             const std::shared_ptr<Request>& request)
      : session_(session), source_(request) {
    // HEAD is served as GET; the session leaves the body out.
    request_.set_method(request->method() == http::verb::head
                            ? std::string("GET")
                            : std::string(request->method_string()));
    request_.set_uri(std::string(request->target()));
    for (const auto& field : *request)
      request_.add_header(std::string(field.name_string()),
                          std::string(field.value()));
  }

  HTTP_Request& request() override { return request_; }
  HTTP_Response& response() override { return response_; }

  int write_body(const char* data, std::size_t length, bool last) override {
    if (failed_ || ended_) return -1;
    if (!response_.is_set(HTTP_Response::CHUNKED)) {
      // Without chunking the length must be known: collect, send at the end.
      if (data) pending_.append(data, length);
      if (last) send_whole(response_.status(), pending_);
      return failed_ ? -1 : 0;
    }
    if (!head_sent_) {
      auto head = std::make_shared<http::response<http::empty_body>>(
          static_cast<http::status>(response_.status()), source_->version());
      set_head(*head);
      if (session_->write_chunked_head(head)) return fail();
      head_sent_ = true;
    }
    if (data && length && session_->write_chunk(data, length)) return fail();
    if (last) {
      if (session_->write_last_chunk()) return fail();
      ended_ = true;
    }
    return 0;
  }

  int send_error(int status, const char* reason, const char* body) override {
    if (head_sent_ || ended_ || failed_) return -1;
    std::string text = body ? body : std::string(http_status_text(status)) + "\n";
    response_.content_type("text/plain");
    if (reason) response_.add_header("X-Error-Reason", reason);
    send_whole(status, text);
    return failed_ ? -1 : 0;
  }

  // After the handler: an answer left open is ended here, and a handler
  // that wrote nothing gets 204.
  bool complete() {
    if (!ended_ && !failed_) {
      if (head_sent_)
        write_body(nullptr, 0, true);
      else if (!pending_.empty() || response_.status() != 200)
        send_whole(response_.status(), pending_);
      else
        send_whole(204, std::string());
    }
    return ended_ && !failed_;
  }

 private:
  template <class Message>
  void set_head(Message& head) const {
    if (!response_.content_type().empty())
      head.set(http::field::content_type, response_.content_type());
    for (const auto& h : response_.headers()) head.insert(h.first, h.second);
    head.keep_alive(source_->keep_alive());
  }

  void send_whole(int status, const std::string& body) {
    auto response = std::make_shared<Response>(static_cast<http::status>(status),
                                               source_->version());
    set_head(*response);
    response->body() = body;
    response->prepare_payload();
    if (session_->write_response(response)) failed_ = true;
    ended_ = true;
  }

  int fail() {
    failed_ = true;
    return -1;
  }

  std::shared_ptr<Http_Session> session_;
  std::shared_ptr<Request> source_;
  HTTP_Request request_;
  HTTP_Response response_;
  std::string pending_;
  bool head_sent_ = false;
  bool ended_ = false;
  bool failed_ = false;
};

}  // namespace

void serve_http(const std::shared_ptr<Http_Session>& session,
                const std::shared_ptr<Request>& request,
                const Creator_Service<HTTP_Handler>& service) {
  Session_IO io(session, request);
  HTTP_Handler* handler = service.creator->create();
  if (!handler) {
    ACE_ERROR((LM_ERROR, "%N:%l: no handler for %C: %m\n",
               io.request().path().c_str()));
    io.send_error(500, nullptr, nullptr);
  } else {
    try {
      // Every handler gets the service's arguments, as REST handlers do.
      Args args(service.args);
      int rc = handler->init(args.argc(), args.argv());
      const std::string& body = request->body();
      if (rc == 0 && !body.empty())
        rc = handler->handle_body(body.data(), static_cast<unsigned>(body.size()));
      if (rc == 0) handler->handle_request(&io);
      else io.send_error(500, nullptr, nullptr);
    } catch (const std::exception& e) {
      ACE_ERROR((LM_ERROR, "%N:%l: %C %C failed: %C\n",
                 io.request().method_name().c_str(),
                 io.request().path().c_str(), e.what()));
      io.send_error(500, nullptr, nullptr);
    }
  }
  bool ok = io.complete();
  if (handler) {
    if (ok) handler->handle_sent();
    handler->handle_close();
    handler->fini();
    service.creator->destroy(handler);
  }
  session->finish(ok && request->keep_alive());
}

}  // namespace wagent
