#ifndef WCOMMON_HOST_REBOOT_HANDLER_H
#define WCOMMON_HOST_REBOOT_HANDLER_H

#include "websvcs/common/host/power_handler.h"

// Restarts the machine for a signed-in caller allowed to, after an audit
// event naming the caller.
class JSON_RPC_Reboot_Handler : public JSON_RPC_Power_Handler_Impl {
 public:
  JSON_RPC_Reboot_Handler();
};

#endif
