#ifndef WCOMMON_HOST_SHUTDOWN_HANDLER_H
#define WCOMMON_HOST_SHUTDOWN_HANDLER_H

#include "websvcs/common/host/power_handler.h"

// Powers off the machine for a signed-in caller allowed to, after an audit
// event naming the caller.
class JSON_RPC_Shutdown_Handler : public JSON_RPC_Power_Handler_Impl {
 public:
  JSON_RPC_Shutdown_Handler();
};

#endif
