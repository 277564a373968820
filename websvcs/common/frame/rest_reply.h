// Steps REST endpoints share.
#ifndef WCOMMON_FRAME_REST_REPLY_H
#define WCOMMON_FRAME_REST_REPLY_H

#include <cstdint>

#include "agent/restful/restful_handler.h"

namespace wcommon {

// The permissions every permission-checked operation asks for.
const std::uint64_t USER_PERMISSIONS = 0xC000000000000000ULL;

// True when the request has a signed-in user, and, when `permissions`, one
// allowed USER_PERMISSIONS. Otherwise the refusal (401 before 403) has been
// sent and `rc` holds what sending it returned.
bool admit_user(JSON_RESTful_Channel& channel, const Parsed_Request& request,
                bool permissions, int& rc);

}  // namespace wcommon

#endif
