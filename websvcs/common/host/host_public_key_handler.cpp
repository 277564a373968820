#include "websvcs/common/host/host_public_key_handler.h"

#include <ace/Log_Msg.h>

#include <cstdint>
#include <string>

#include "agent/chost/host_manager.h"
#include "agent/text/key_text.h"
#include "websvcs/common/frame/factory.h"

JSON_RESTful_Host_Public_Key_Handler::JSON_RESTful_Host_Public_Key_Handler()
    : JSON_RESTful_Handler_Impl2(REST_ANYONE, 0) {}

int JSON_RESTful_Host_Public_Key_Handler::handle_get(JSON_RESTful_Channel& channel,
                                                     Parsed_Request&) {
  const std::string der = Host_Manager::instance()->public_key();
  if (der.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("Failed to get public key.\n")));
    return channel.reply_status(500, -1, "Failed to get public key");
  }
  RSA_Key_Writer text(reinterpret_cast<const unsigned char*>(der.data()),
                      der.size(), true, Secure_String());
  return channel.reply_json(
      json_spirit::Value(std::string(text.data(), text.length())));
}

WCOMMON_CREATOR_FACTORY(Object_Creator_T<JSON_RESTful_Handler>,
                        JSON_RESTful_Host_Public_Key_Handler_Creator)
