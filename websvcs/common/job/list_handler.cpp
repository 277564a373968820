// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/job/list_handler.h"

#include <ace/Guard_T.h>

#include <cmath>
#include <vector>

#include "agent/json_spirit/json_printer.h"
#include "agent/text/time_text.h"
#include "agent/text/uuid_text.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

namespace {

const char TIME_FORMAT[] = "%Y-%m-%d %H:%M:%S";

// True when writing `v` out and reading the text back gives `v` itself:
// ASCII strings, finite numbers, shallow nesting. Such a definition is
// copied as it is; any other goes through the writer, whose checks (UTF-8,
// depth) decide what is listed as they always have.
bool copies_as_written(const json_spirit::Value& v, int depth = 0) {
  auto ascii = [](const std::string& s) {
    for (unsigned char c : s)
      if (c >= 0x80) return false;
    return true;
  };
  switch (v.type()) {
    case json_spirit::str_type: return ascii(v.get_str());
    case json_spirit::real_type: return std::isfinite(v.get_real());
    case json_spirit::obj_type:
      if (depth >= 32) return false;
      for (const auto& m : v.get_obj())
        if (!ascii(m.first) || !copies_as_written(m.second, depth + 1)) return false;
      return true;
    case json_spirit::array_type:
      if (depth >= 32) return false;
      for (const auto& e : v.get_array())
        if (!copies_as_written(e, depth + 1)) return false;
      return true;
    default: return true;
  }
}

}  // namespace

void Job_List_Handler::job_to_json(const Job_Record& job, json_spirit::Object& o) {
  const Job_Definition_Ptr& definition = job.definition;
  if (!definition.get()) return;
  if (copies_as_written(definition->value())) {
    o = definition->members();
  } else {
    json_spirit::Value written;
    JSON_Printer printer(written);
    if (!Job_Definition_Writer::write(*definition, printer) ||
        written.type() != json_spirit::obj_type)
      return;
    o = std::move(written.get_obj());
  }
  if (!job.has_activity) return;
  const Job_Activity* a = &job.activity;
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
    if (job.has_end)
      o["end"] = json_spirit::Object{{"signal", job.end.signal},
                                     {"timed_out", job.end.timed_out},
                                     {"cancelled", job.end.cancelled},
                                     {"duration_ms", job.end.duration_ms},
                                     {"output_bytes", job.end.output_bytes}};
  }
}

int Job_List_Handler::handle_object(JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) {
  JSON_RPC_Request* request;
  JSON_RPC_Channel_Ptr requester;
  if (!WCOMMON_ACCEPT_REQUEST_QUIETLY(object, channel, request, requester)) return -1;
  const std::string* id = request->params.type() == json_spirit::obj_type
                              ? json_spirit::object_get_str(request->params, "id")
                              : nullptr;
  // Only the records are taken under the lock: a writer never waits for
  // the text of a long listing.
  Job_Manager* manager = Job_Manager::instance();
  std::vector<Job_Record_Ptr> records;
  if (!id) {
    // Room for them is made first, its pages touched: faulting fresh memory
    // in under the lock can take longer than taking the records.
    std::size_t count;
    {
      ACE_Read_Guard<ACE_RW_Mutex> guard(manager->mutex());
      if (!guard.locked()) return -1;
      count = manager->jobs().size();
    }
    records.resize(count + count / 8 + 16);
    records.clear();
  }
  {
    ACE_Read_Guard<ACE_RW_Mutex> guard(manager->mutex());
    if (!guard.locked()) return -1;
    if (id) {
      Job_Ptr job = manager->find(*id);
      if (job.get()) records.push_back(job->record());
    } else {
      for (const Job_Ptr& job : manager->jobs()) records.push_back(job->record());
    }
  }
  json_spirit::Array list;
  list.reserve(records.size());
  for (const Job_Record_Ptr& job : records) {
    list.emplace_back(json_spirit::Object());
    job_to_json(*job, list.back().get_obj());
  }
  return wcommon::send_result(*requester, *request, std::move(list));
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(Job_List_Handler)
