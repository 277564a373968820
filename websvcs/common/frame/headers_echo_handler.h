#ifndef WCOMMON_FRAME_HEADERS_ECHO_HANDLER_H
#define WCOMMON_FRAME_HEADERS_ECHO_HANDLER_H

#include "agent/httpd/http_handler.h"
#include "websvcs/common/frame/object_creator_impl.h"

// Answers a GET with the request's headers as one JSON object, in the order
// they arrived: a client sees exactly what reached the agent after every
// proxy on the way.
class HTTP_Headers_Echo_Handler : public HTTP_Handler {
 public:
  ~HTTP_Headers_Echo_Handler() override;
  int handle_body(const void* data, unsigned length) override;
  int handle_request(HTTP_IO* io) override;
  int handle_sent() override;
};

typedef Object_Creator_Impl_T<Object_Creator_T<HTTP_Handler>,
                              HTTP_Headers_Echo_Handler>
    HTTP_Headers_Echo_Handler_Creator;

#endif
