#include "websvcs/common/frame/rest_reply.h"

namespace wcommon {

bool admit_user(JSON_RESTful_Channel& channel, const Parsed_Request& request,
                bool permissions, int& rc) {
  if (request.session.null()) {
    rc = channel.reply_status(401, -1, REST_NOT_AUTHENTICATED);
    return false;
  }
  if (permissions && !request.session->check_perms(USER_PERMISSIONS, false)) {
    rc = channel.reply_status(403, -1, "Insufficient user permissions.");
    return false;
  }
  return true;
}

}  // namespace wcommon
