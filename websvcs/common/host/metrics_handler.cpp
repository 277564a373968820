#include "websvcs/common/host/metrics_handler.h"

#include <string>

#include "agent/httpd/http_io.h"
#include "agent/metrics/metrics.h"
#include "agent/modsess/session.h"
#include "websvcs/common/frame/factory.h"

HTTP_Metrics_Handler::~HTTP_Metrics_Handler() {}

int HTTP_Metrics_Handler::handle_request(HTTP_IO* io) {
  if (io->request().method() != HTTP_METHOD_GET) {
    io->response().add_header("Allow", "GET, HEAD");
    io->send_error(405, nullptr, nullptr);
    return -1;
  }
  const std::string* key = io->request().header("X-Session-Key");
  if (!key || key->empty() || !Session_Manager::instance()->load_session(*key).get()) {
    io->send_error(401, nullptr, "User is not authenticated.\n");
    return -1;
  }
  const std::string text = metrics::registry().text();
  io->response().content_type(metrics::TEXT_CONTENT_TYPE);
  io->response().add_header("Cache-Control", "no-store");
  return io->write_body(text.data(), text.size(), true);
}

WCOMMON_CREATOR_FACTORY(Object_Creator_T<HTTP_Handler>, HTTP_Metrics_Handler_Creator)
