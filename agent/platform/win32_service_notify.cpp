#include "agent/platform/service_notify.h"

namespace platform {

bool notify_service_manager(const std::string&, const std::string&) { return false; }

}  // namespace platform
