#ifndef WCOMMON_HOST_METRICS_HANDLER_H
#define WCOMMON_HOST_METRICS_HANDLER_H

#include "agent/httpd/http_handler.h"
#include "websvcs/common/frame/object_creator_impl.h"

// Answers a GET from a caller with a known session with the agent's
// metrics in the Prometheus text format. The counts say what the agent is
// doing and for whom, so a caller without a session gets 401.
class HTTP_Metrics_Handler : public HTTP_Handler {
 public:
  ~HTTP_Metrics_Handler() override;
  int handle_request(HTTP_IO* io) override;
};

typedef Object_Creator_Impl_T<Object_Creator_T<HTTP_Handler>, HTTP_Metrics_Handler>
    HTTP_Metrics_Handler_Creator;

#endif
