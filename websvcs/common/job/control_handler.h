#ifndef WCOMMON_JOB_CONTROL_HANDLER_H
#define WCOMMON_JOB_CONTROL_HANDLER_H

#include "agent/json_rpc/json_rpc_handler.h"

// job.start, job.stop, job.pause, job.resume, job.remove, job.enable,
// job.disable, job.switch and job.sync: hands the job id and the caller's
// string options to the job manager and answers with its boolean.
class JSON_RPC_Job_Control_Handler : public JSON_RPC_Thread_Pool_Handler_Impl {
 public:
  int handle_request(JSON_RPC_Channel* channel,
                     JSON_RPC_Request& request) override;
  int handle_notify(JSON_RPC_Channel* channel,
                    JSON_RPC_Request& notification) override;

 private:
  // The response or error object for `object`; null when allocation failed.
  JSON_RPC_Object_Ptr make_reply(JSON_RPC_Request& object);
};

#endif
