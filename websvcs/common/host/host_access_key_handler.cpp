// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/host_access_key_handler.h"

#include "agent/chost/host_manager.h"
#include "websvcs/common/frame/factory.h"

JSON_RESTful_Host_Access_Key_Handler::JSON_RESTful_Host_Access_Key_Handler()
    : JSON_RESTful_Handler_Impl2(REST_DIRECT_LOCAL_USER_ONLY, 0) {}

int JSON_RESTful_Host_Access_Key_Handler::handle_get(JSON_RESTful_Channel& channel,
                                                     Parsed_Request&) {
  // No key yet is the empty string, still a JSON string.
  return channel.reply_json(json_spirit::Value(Host_Manager::instance()->access_key()));
}

WCOMMON_CREATOR_FACTORY(Object_Creator_T<JSON_RESTful_Handler>,
                        JSON_RESTful_Host_Access_Key_Handler_Creator)
