#ifndef WCOMMON_HOST_PUBLIC_KEY_HANDLER_H
#define WCOMMON_HOST_PUBLIC_KEY_HANDLER_H

#include "agent/restful/restful_handler.h"
#include "websvcs/common/frame/object_creator_impl.h"

// GET: the agent's public key as PEM text. Public.
class JSON_RESTful_Host_Public_Key_Handler : public JSON_RESTful_Handler_Impl2 {
 public:
  JSON_RESTful_Host_Public_Key_Handler();
  int handle_get(JSON_RESTful_Channel& channel,
                 Parsed_Request& request) override;
};

typedef Object_Creator_Impl_T<Object_Creator_T<JSON_RESTful_Handler>,
                              JSON_RESTful_Host_Public_Key_Handler>
    JSON_RESTful_Host_Public_Key_Handler_Creator;

#endif
