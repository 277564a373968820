// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/job/control_handler.h"

#include <ace/Log_Msg.h>

#include "agent/job/job_manager.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

namespace {

typedef bool (Job_Manager::*Job_Operation)(const std::string&,
                                           const Job_Manager::Options*);

const struct {
  const char* method;
  Job_Operation operation;
} method_table[] = {
    {"job.start", &Job_Manager::start_job},
    {"job.stop", &Job_Manager::stop_job},
    {"job.pause", &Job_Manager::pause_job},
    {"job.resume", &Job_Manager::resume_job},
    {"job.remove", &Job_Manager::remove_job},
    {"job.enable", &Job_Manager::enable_job},
    {"job.disable", &Job_Manager::disable_job},
    {"job.switch", &Job_Manager::switch_job},
    {"job.sync", &Job_Manager::sync_job},
};

}  // namespace

JSON_RPC_Object_Ptr JSON_RPC_Job_Control_Handler::make_reply(
    JSON_RPC_Request& object) {
  Job_Manager::Options options;
  std::string id;
  const char* error = nullptr;

  const json_spirit::Value& params = object.params;
  if (params.type() == json_spirit::obj_type) {
    const std::string* given = json_spirit::object_get_str(params, "id");
    if (!given) {
      error = "Invalid params: params must have 'id'";
    } else {
      id = *given;
      if (const json_spirit::Object* opts =
              json_spirit::object_get_object(params, "options")) {
        for (const auto& member : *opts)
          if (member.second.type() == json_spirit::str_type)
            options[member.first] = member.second.get_str();
      }
    }
  } else if (params.type() == json_spirit::str_type) {
    id = params.get_str();
  } else {
    error = "Invalid params: params type must be string or object";
  }

  if (!error) {
    JSON_RPC_Object_Ptr reply = wcommon::new_response(object, false);
    if (!reply.get()) return reply;
    for (const auto& entry : method_table) {
      if (object.method == entry.method) {
        static_cast<JSON_RPC_Response*>(reply.get())->result =
            (Job_Manager::instance()->*entry.operation)(id, &options);
        return reply;
      }
    }
    error = "Invalid params: unknown method";
  }
  return wcommon::new_error(object.id, -32602, error);
}

int JSON_RPC_Job_Control_Handler::handle_request(JSON_RPC_Channel* channel,
                                                 JSON_RPC_Request& request) {
  return WCOMMON_POOL_REQUEST(channel, request, "Job Control Handler",
                              [&] { return make_reply(request); });
}

int JSON_RPC_Job_Control_Handler::handle_notify(JSON_RPC_Channel*,
                                                JSON_RPC_Request& notification) {
  return WCOMMON_POOL_NOTIFY(make_reply(notification), "Job Control Handler");
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Job_Control_Handler)
