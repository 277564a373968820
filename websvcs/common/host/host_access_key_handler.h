#ifndef WCOMMON_HOST_ACCESS_KEY_HANDLER_H
#define WCOMMON_HOST_ACCESS_KEY_HANDLER_H

#include "agent/restful/restful_handler.h"
#include "websvcs/common/frame/object_creator_impl.h"

// GET: the access key the management server gave the agent. A secret: the
// base's mask lets only a signed-in caller, direct on loopback, reach it.
class JSON_RESTful_Host_Access_Key_Handler : public JSON_RESTful_Handler_Impl2 {
 public:
  JSON_RESTful_Host_Access_Key_Handler();
  int handle_get(JSON_RESTful_Channel& channel,
                 Parsed_Request& request) override;
};

typedef Object_Creator_Impl_T<Object_Creator_T<JSON_RESTful_Handler>,
                              JSON_RESTful_Host_Access_Key_Handler>
    JSON_RESTful_Host_Access_Key_Handler_Creator;

#endif
