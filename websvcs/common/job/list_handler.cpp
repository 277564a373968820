#include "websvcs/common/job/list_handler.h"

#include <ace/Guard_T.h>

#include "agent/json_spirit/json_printer.h"
#include "agent/text/time_text.h"
#include "agent/text/uuid_text.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

namespace {

const char TIME_FORMAT[] = "%Y-%m-%d %H:%M:%S";

}  // namespace

json_spirit::Object Job_List_Handler::job_to_json(Job_Ptr job) {
  const Job_Definition_Ptr definition = job->definition();
  if (!definition.get()) return json_spirit::Object();
  json_spirit::Value written;
  JSON_Printer printer(written);
  if (!Job_Definition_Writer::write(*definition, printer) ||
      written.type() != json_spirit::obj_type)
    return json_spirit::Object();
  json_spirit::Object& o = written.get_obj();
  const Job_Activity* a = job->activity();
  if (!a) return std::move(o);
  o["state"] = job_state_to_string(a->state, 0);
  o["next_run_time"] = POSIX_Time_To_ISO8601(a->next_run_time, TIME_FORMAT);
  if (a->state == JOB_RUNNING || a->state == JOB_PAUSED) {
    if (a->start_time != 0) o["start_time"] = POSIX_Time_To_ISO8601(a->start_time, TIME_FORMAT);
    o["instance_id"] = uuid_binary_to_string(a->instance_id);
    o["progress"] = a->progress;
  } else if (a->state == JOB_ENDED) {
    o["code"] = a->code;
    if (a->message[0] != 0)
      o["message"] = std::string(a->message[1], static_cast<char>(a->message[0] & 0xff));
  }
  return std::move(o);
}

int Job_List_Handler::handle_object(JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) {
  JSON_RPC_Request* request = wcommon::as_request(object);
  if (!request) return -1;
  JSON_RPC_Channel_Ptr requester = wcommon::lock_channel(channel);
  if (!requester.get()) {
    ACE_DEBUG((LM_ERROR, ACE_TEXT("Abort handling JSON-RPC request, requester is gone.\n")));
    return -1;
  }
  json_spirit::Array list;
  list.reserve(256);
  {
    Job_Manager* manager = Job_Manager::instance();
    ACE_Read_Guard<ACE_RW_Mutex> guard(manager->mutex());
    if (!guard.locked()) return -1;
    const std::string* id = request->params.type() == json_spirit::obj_type
                                ? json_spirit::object_get_str(request->params, "id")
                                : nullptr;
    if (id) {
      Job_Ptr job = manager->find(*id);
      if (job.get()) list.push_back(job_to_json(job));
    } else {
      for (const Job_Ptr& job : manager->jobs()) list.push_back(job_to_json(job));
    }
  }
  return wcommon::send_result(*requester, *request, std::move(list));
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(Job_List_Handler)
