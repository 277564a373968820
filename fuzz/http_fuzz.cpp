// Arbitrary bytes as an HTTP request read by the host's parser, then, for a
// path of a 'rest' or 'http' line of etc/wagent.conf, read into what its
// handler gets and handed to a fresh handler, as the host serves it.
#include <boost/asio/buffer.hpp>

#include "fuzz/fuzz_agent.h"
#include "agent/wagent/http_rules.h"
#include "agent/wagent/http_session.h"
#include "tests/fakes/recording_http_io.h"
#include "tests/fakes/recording_rest_channel.h"

namespace {

using wagent::Request;

void serve_rest(const Request& request,
                const wagent::Creator_Service<JSON_RESTful_Handler>& service) {
  static const wagent::tcp::endpoint peer(wagent::net::ip::make_address("127.0.0.1"), 40000);
  Parsed_Request parsed;
  wagent::fill_parsed_request(request, peer, parsed);
  JSON_RESTful_Handler* handler = service.creator->create();
  if (!handler) return;
  wagent::Args args(service.args);
  Recording_REST_Channel reply;
  if (handler->init(args.argc(), args.argv()) == 0) handler->handle_request(reply, parsed);
  handler->fini();
  service.creator->destroy(handler);
}

void serve_http(const Request& request,
                const wagent::Creator_Service<HTTP_Handler>& service) {
  Recording_HTTP_IO io;
  io.request().set_method(std::string(request.method_string()));
  io.request().set_uri(std::string(request.target()));
  for (const auto& field : request)
    io.request().add_header(std::string(field.name_string()), std::string(field.value()));
  HTTP_Handler* handler = service.creator->create();
  if (!handler) return;
  wagent::Args args(service.args);
  int rc = handler->init(args.argc(), args.argv());
  const std::string& body = request.body();
  if (rc == 0 && !body.empty())
    rc = handler->handle_body(body.data(), static_cast<unsigned>(body.size()));
  if (rc == 0) handler->handle_request(&io);
  handler->handle_close();
  handler->fini();
  service.creator->destroy(handler);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const wagent::Services& services = fuzz::agent_services();
  wagent::http::request_parser<wagent::http::string_body> parser;
  parser.body_limit(1 << 20);
  wagent::beast::error_code ec;
  const char* at = reinterpret_cast<const char*>(data);
  std::size_t left = size;
  while (left && !parser.is_done()) {
    std::size_t used = parser.put(boost::asio::buffer(at, left), ec);
    if (ec == wagent::http::error::need_more) break;
    if (ec || used == 0) return 0;
    at += used;
    left -= used;
  }
  if (!parser.is_done()) {
    parser.put_eof(ec);
    if (ec || !parser.is_done()) return 0;
  }
  // The head is judged, and an absolute-form target rewritten, first.
  if (wagent::check_request_head(parser.get(), false) != wagent::Head_Verdict::serve) return 0;
  const Request& request = parser.get();
  const std::string target(request.target());
  const std::string path = target.substr(0, target.find('?'));
  if (const auto* rest = services.rest(path)) serve_rest(request, *rest);
  else if (const auto* http = services.http(path)) serve_http(request, *http);
  // The WebSocket handshake reads its session key from the query too.
  wagent::request_session_key(request, true);
  return 0;
}
