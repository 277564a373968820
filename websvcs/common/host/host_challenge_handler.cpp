// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/host_challenge_handler.h"

#include <cstdint>
#include <string>

#include "agent/chost/host_manager.h"
#include "websvcs/common/frame/factory.h"

JSON_RESTful_Host_Challenge_Handler::JSON_RESTful_Host_Challenge_Handler()
    : JSON_RESTful_Handler_Impl2(REST_ANYONE, 0) {}

int JSON_RESTful_Host_Challenge_Handler::handle_get(JSON_RESTful_Channel& channel,
                                                    Parsed_Request&) {
  std::string challenge;
  std::int64_t expires = 0;
  if (!Host_Manager::instance()->create_challenge(challenge, expires))
    return channel.reply_status(500, -1);
  json_spirit::Object reply{{"challenge", challenge}, {"expires", expires}};
  return channel.reply_json(reply);
}

WCOMMON_CREATOR_FACTORY(Object_Creator_T<JSON_RESTful_Handler>,
                        JSON_RESTful_Host_Challenge_Handler_Creator)
