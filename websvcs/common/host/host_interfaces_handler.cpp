// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/host_interfaces_handler.h"

#include <utility>

#include "agent/pkgutil/interface_info.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/rest_reply.h"

JSON_RESTful_Host_Interfaces_Handler::JSON_RESTful_Host_Interfaces_Handler()
    : JSON_RESTful_Handler_Impl2(REST_LOCAL_OR_DIRECT_ANONYMOUS, 0) {}

int JSON_RESTful_Host_Interfaces_Handler::handle_get(JSON_RESTful_Channel& channel,
                                                     Parsed_Request& request) {
  int rc = 0;
  if (!wcommon::admit_user(channel, request, true, rc)) return rc;
  json_spirit::Array list;
  if (!interface_info(list))
    return channel.reply_status(500, -1, "Failed to get interface info.");
  return channel.reply_json(json_spirit::Value(std::move(list)));
}

WCOMMON_CREATOR_FACTORY(Object_Creator_T<JSON_RESTful_Handler>,
                        JSON_RESTful_Host_Interfaces_Handler_Creator)
