// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/reboot_handler.h"

#include "agent/systemutil/system_actions.h"
#include "websvcs/common/frame/factory.h"

JSON_RPC_Reboot_Handler::JSON_RPC_Reboot_Handler()
    : JSON_RPC_Power_Handler_Impl(0x0205000000010001ULL, &systemutil::system_reboot,
                                  "Failed to reboot system.") {}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Reboot_Handler)
