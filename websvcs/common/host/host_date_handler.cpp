// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/host_date_handler.h"

#include <ace/Log_Msg.h>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <string>

#include "agent/eventutil/event_trigger.h"
#include "agent/text/time_text.h"
#include "agent/platform/platform.h"
#include "agent/systemutil/system_actions.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/rest_reply.h"

namespace {

const char DATE_FORMAT[] = "%Y-%m-%d %H:%M:%S";
// The audit code of a change of the system clock.
const std::uint64_t SET_DATE_EVENT = 0x205000000010005ULL;

// Sets the clock to POSIX time `t` under the host's clock mode; false with
// the reason for GetLastError.
bool set_system_time(std::int64_t t) {
  FILETIME file_time;
  SYSTEMTIME system_time;
  if (!platform::posix_time_to_filetime(t, 0, file_time)) {
    // Before 1601: no clock can show it.
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return FileTimeToSystemTime(&file_time, &system_time) &&
         systemutil::set_system_time(system_time);
}

}  // namespace

JSON_RESTful_Host_Date_Handler::JSON_RESTful_Host_Date_Handler()
    : JSON_RESTful_Handler_Impl2(REST_LOCAL_OR_DIRECT_ANONYMOUS, 0) {}

int JSON_RESTful_Host_Date_Handler::handle_get(JSON_RESTful_Channel& channel,
                                               Parsed_Request& request) {
  int rc = 0;
  if (!wcommon::admit_user(channel, request, false, rc)) return rc;
  json_spirit::Object reply;
  reply["date"] = POSIX_Time_To_ISO8601(std::time(nullptr), DATE_FORMAT);
  return channel.reply_json(reply);
}

int JSON_RESTful_Host_Date_Handler::handle_post(JSON_RESTful_Channel& channel,
                                                Parsed_Request& request) {
  int rc = 0;
  if (!wcommon::admit_user(channel, request, false, rc)) return rc;

  // Every attempt by a signed-in user is audited, refused ones included.
  Event_Trigger event(SET_DATE_EVENT, request.client_addr,
                      request.session->uid(), 1);
  if (request.body.type() != json_spirit::obj_type)
    return channel.reply_status(400, -1,
                                "Request body is expected as JSON object.");
  const std::string* date = json_spirit::object_get_str(request.body, "date");
  if (!date)
    return channel.reply_status(
        400, -1, "'date' is expected as string in request body.");
  event.bind("datetime", *date);

  std::int64_t t;
  if (!iso8601_to_posix_time(date->c_str(), t))
    return channel.reply_status(400, -1, "Invalid datetime format.");
  // The audit trail shows the new time as the machine's own wall clock.
  event.bind("datetime",
             POSIX_Time_To_ISO8601(t - get_timezone_offset(), DATE_FORMAT));

  if (!set_system_time(t)) {
    // The system's text for its own code (%m would read it as an errno
    // value, which on Windows it is not).
    const DWORD error = GetLastError();
    ACE_ERROR((LM_ERROR, ACE_TEXT("Set system time failed, errno=%d, %C\n"),
               static_cast<int>(error), platform::last_error_text(error).c_str()));
    return channel.reply_status(500, -1);
  }
  event.succeed();
  return 0;
}

WCOMMON_CREATOR_FACTORY(Object_Creator_T<JSON_RESTful_Handler>,
                        JSON_RESTful_Host_Date_Handler_Creator)
