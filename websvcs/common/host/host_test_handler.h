#ifndef WCOMMON_HOST_HOST_TEST_HANDLER_H
#define WCOMMON_HOST_HOST_TEST_HANDLER_H

#include "agent/json_rpc/json_rpc_handler.h"

// host.test: a liveness and time-out probe. Waits the number of seconds
// given as params (120 when params is not an integer) on a worker thread,
// then answers "OK".
class JSON_RPC_Host_Test_Handler : public JSON_RPC_Thread_Handler {
 public:
  int handle_object_i(JSON_RPC_Channel_WPtr channel,
                      JSON_RPC_Object_Ptr object) override;

  // The wait a params value asks for. Negative counts are taken as no wait.
  static unsigned wait_seconds(const json_spirit::Value& params);
};

#endif
