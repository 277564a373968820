#ifndef WCOMMON_JOB_DEFINITION_PARAMS_HANDLER_H
#define WCOMMON_JOB_DEFINITION_PARAMS_HANDLER_H

#include <ace/Event_Handler.h>
#include <ace/Manual_Event.h>

#include "agent/job/job_definition.h"
#include "agent/json_rpc/json_rpc_handler.h"

// job.create: reads the definition as the params stream in. Its
// destruction hands the definition to the reactor thread, which submits it
// and answers with the job's id; the parsing thread waits only for that
// handover, never for the submission.
class Job_Definition_Params_Handler : public Job_Definition_Reader, public ACE_Event_Handler {
 public:
  Job_Definition_Params_Handler(JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object);
  ~Job_Definition_Params_Handler() override;

  int handle_exception(ACE_HANDLE) override;

 private:
  // Static: it runs once the handler may be gone.
  static int submit_and_reply(JSON_RPC_Channel_Ptr channel, JSON_RPC_Object_Ptr object,
                              Job_Definition_Ptr definition);

  ACE_Manual_Event handover_;
  JSON_RPC_Channel_WPtr channel_;
  JSON_RPC_Object_Ptr object_;
  bool working_ = false;  // the channel counts the reply as work to come
};

class Job_Definition_Params_Handler_Creator : public JSON_RPC_Params_Handler_Creator {
 public:
  YAJL_Handler* create(JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) override;
};

#endif
