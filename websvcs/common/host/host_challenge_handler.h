#ifndef WCOMMON_HOST_CHALLENGE_HANDLER_H
#define WCOMMON_HOST_CHALLENGE_HANDLER_H

#include "agent/restful/restful_handler.h"
#include "websvcs/common/frame/object_creator_impl.h"

// GET: a fresh challenge for the management side to have signed, with its
// expiry. Public.
class JSON_RESTful_Host_Challenge_Handler : public JSON_RESTful_Handler_Impl2 {
 public:
  JSON_RESTful_Host_Challenge_Handler();
  int handle_get(JSON_RESTful_Channel& channel,
                 Parsed_Request& request) override;
};

typedef Object_Creator_Impl_T<Object_Creator_T<JSON_RESTful_Handler>,
                              JSON_RESTful_Host_Challenge_Handler>
    JSON_RESTful_Host_Challenge_Handler_Creator;

#endif
