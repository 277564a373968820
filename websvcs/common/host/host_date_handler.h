#ifndef WCOMMON_HOST_DATE_HANDLER_H
#define WCOMMON_HOST_DATE_HANDLER_H

#include "agent/restful/restful_handler.h"
#include "websvcs/common/frame/object_creator_impl.h"

// The machine's clock: GET reads it (UTC), POST sets it from an ISO-8601
// "date". Both need a signed-in user; setting the clock is audited.
class JSON_RESTful_Host_Date_Handler : public JSON_RESTful_Handler_Impl2 {
 public:
  JSON_RESTful_Host_Date_Handler();
  int handle_get(JSON_RESTful_Channel& channel,
                 Parsed_Request& request) override;
  int handle_post(JSON_RESTful_Channel& channel,
                  Parsed_Request& request) override;
};

typedef Object_Creator_Impl_T<Object_Creator_T<JSON_RESTful_Handler>,
                              JSON_RESTful_Host_Date_Handler>
    JSON_RESTful_Host_Date_Handler_Creator;

#endif
