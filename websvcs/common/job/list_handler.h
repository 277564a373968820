#ifndef WCOMMON_JOB_LIST_HANDLER_H
#define WCOMMON_JOB_LIST_HANDLER_H

#include "agent/job/job_manager.h"
#include "agent/json_rpc/json_rpc_handler.h"

// job.list: every job, or the one named by params {"id"}, as its
// definition with the state of its current or last run laid over it.
class Job_List_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) override;

 private:
  // Fills `o`, empty, with the job's entry; left empty for a definition
  // that cannot be written.
  void job_to_json(const Job_Record& job, json_spirit::Object& o);
};

#endif
