// Reboot and shutdown: one algorithm; each handler gives its event code,
// its system call and its failure message.
#ifndef WCOMMON_HOST_POWER_HANDLER_H
#define WCOMMON_HOST_POWER_HANDLER_H

#include <cstdint>

#include "agent/json_rpc/json_rpc_handler.h"

class JSON_RPC_Power_Handler_Impl : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override;

 protected:
  JSON_RPC_Power_Handler_Impl(std::uint64_t event_code, int (*action)(),
                              const char* failure)
      : event_code_(event_code), action_(action), failure_(failure) {}

 private:
  // Fixed at construction; nothing about a request is kept.
  const std::uint64_t event_code_;
  int (*const action_)();
  const char* const failure_;
};

#endif
