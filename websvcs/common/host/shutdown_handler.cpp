// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/shutdown_handler.h"

#include "agent/systemutil/system_actions.h"
#include "websvcs/common/frame/factory.h"

JSON_RPC_Shutdown_Handler::JSON_RPC_Shutdown_Handler()
    : JSON_RPC_Power_Handler_Impl(0x0205000000010002ULL, &systemutil::system_shutdown,
                                  "Failed to shutdown system.") {}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Shutdown_Handler)
