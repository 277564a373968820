#include "websvcs/common/frame/headers_echo_handler.h"

#include <cerrno>

#include "agent/httpd/http_io.h"
#include "agent/json_io/yajl_gen.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/yajl_buffered_printer.h"

namespace {

// Writes one header as a member; false once the generator has refused
// something, after which nothing more should be written.
bool write_header(yajl_gen g, const HTTP_Header& header) {
  const char* known = http_head_string(header.code, 0);
  yajl_gen_status status =
      known ? yajl_gen_text(g, known) : yajl_gen_text(g, header.name);
  if (status != yajl_gen_status_ok) return false;
  status = yajl_gen_text(g, header.value);
  if (status == yajl_gen_status_ok) return true;
  // A refused value (bytes that are not UTF-8) leaves its key open; a null
  // completes the member so the body is still JSON.
  yajl_gen_null(g);
  return false;
}

}  // namespace

HTTP_Headers_Echo_Handler::~HTTP_Headers_Echo_Handler() {}

int HTTP_Headers_Echo_Handler::handle_body(const void*, unsigned) { return 0; }

int HTTP_Headers_Echo_Handler::handle_request(HTTP_IO* io) {
  if (io->request().method() != HTTP_METHOD_GET) {
    io->response().add_header("Allow", "GET, HEAD");
    io->send_error(405, nullptr, nullptr);
    return -1;
  }
  HTTP_Response& response = io->response();
  response.set(HTTP_Response::CHUNKED, true);
  response.content_type("application/json");

  // Declared so they end in reverse: the map closes, the generator goes,
  // and only then does the printer flush and end the body.
  HTTP_IO_YAJL_Printer_T<2048> printer(io);
  YAJL_Gen gen(yajl_gen_alloc_printer(&printer, nullptr, false, nullptr));
  if (!gen.get()) {
    errno = ENOMEM;
    return -1;
  }
  YAJL_Map_Guard map(gen);
  for (const HTTP_Header& header : io->request().headers())
    if (!write_header(gen, header)) break;
  return 0;
}

int HTTP_Headers_Echo_Handler::handle_sent() { return 0; }

WCOMMON_CREATOR_FACTORY(Object_Creator_T<HTTP_Handler>,
                        HTTP_Headers_Echo_Handler_Creator)
