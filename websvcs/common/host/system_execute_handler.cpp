// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/system_execute_handler.h"

#include <ace/OS_NS_unistd.h>

#include <cerrno>
#include <ctime>

#include "agent/chost/host_manager.h"
#include "agent/clntio/http_client.h"
#include "agent/paths/app_data.h"
#include "agent/text/time_text.h"
#include "agent/platform/file.h"
#include "agent/platform/files.h"
#include "agent/platform/platform.h"
#include "agent/platform/process_runner.h"
#include "agent/websocketc/websocket_options.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

namespace {

// Fetches `uri` from the management server into the downloads folder;
// `local` gets the file's path. False when nothing usable arrived.
bool download(const std::string& uri, std::string& local) {
  WebSocket_Options* server = WebSocket_Options::instance();
  clntio::HTTP_Session_Ptr session = clntio::HTTP_Session_Factory::create(
      server->host(), server->port(), server->tls(), nullptr, 3, nullptr,
      false, 120, 120, 0, 0);
  clntio::HTTP_Request request(3, "/", false);
  request.uri(uri, false);
  Host_Manager* host = Host_Manager::instance();
  if (host->access_key_size() != 0)
    request.headers().put(clntio::HTTP_HEADER_X_ACCESS_KEY, host->access_key(),
                          true);
  std::string name;
  if (!clntio::download_file_name(uri, name)) return false;
  Path_Conf folder = app_data(App_Data::DOWNLOADS, name.c_str(), true);
  local = folder.path();
  return folder.ok() && clntio::http_session_get_file(session, request, local) &&
         platform::make_executable(local);
}

// One record of the execution log at `path`, written whole at its end (after
// what the command wrote through its own handle); false, logged, when the
// disk took less (full, or over quota).
bool write_record(platform::File& log, const std::string& path, const char* format,
                  const std::string& command, int code) {
  const std::string now =
      POSIX_Time_To_ISO8601_Local(std::time(nullptr), "%Y-%m-%d %H:%M:%S");
  int n = std::snprintf(nullptr, 0, format, now.c_str(), command.c_str(), code);
  std::string text(n > 0 ? n : 0, '\0');
  std::snprintf(&text[0], text.size() + 1, format, now.c_str(), command.c_str(),
                code);
  if (log.write(text.data(), text.size())) return true;
  ACE_ERROR((LM_ERROR, "Failed to write file %s, errno=%d, %m\n", path.c_str(), errno));
  return false;
}

// Runs `command` with its output on the execution log and waits for it.
// False when it could not be started.
bool run(const std::string& command) {
  const std::string path = app_data(App_Data::LOG, "execute.log").path();
  platform::File log;
  if (!log.open(path, platform::File::APPEND | platform::File::CREATE, ACE_DEFAULT_FILE_PERMS)) {
    ACE_ERROR((LM_ERROR, "Failed to open file %s to write, errno=%d, %m\n",
               path.c_str(), errno));
    return false;
  }
  // A command whose start cannot be recorded would leave no trace of its
  // output either: it is not run.
  if (!write_record(log, path, "%s|%s\n", command, 0)) return false;
  platform::Process_Runner process(command);
  ACE_DEBUG((LM_NOTICE, "Execute '%s'\n", process.command_line().c_str()));
  if (!process.start(path, ACE_DEFAULT_FILE_PERMS)) {
    ACE_ERROR((LM_ERROR, "Failed to run '%s', errno=%d, %m\n",
               process.command_line().c_str(), errno));
    return false;
  }
  platform::Process_Exit exit;
  process.wait(exit);
  // It ran: a lost end record is logged, the answer stays true.
  write_record(log, path, "\n%s|%s|%d\n\n\n", command, exit.code);
  return true;
}

}  // namespace

int JSON_RPC_System_Execute_Handler::handle_object(
    JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) {
  JSON_RPC_Request* request;
  JSON_RPC_Channel_Ptr requester;
  if (!WCOMMON_ACCEPT_CHANNEL_FIRST(object, channel, wcommon::REQUEST_OR_NOTIFY_KIND,
                                    request, requester))
    return -1;
  const json_spirit::Value& params = request->params;
  if (params.type() != json_spirit::obj_type)
    return wcommon::send_error(*requester, -32602, request->id,
                               "Invalid params: params type must be object.");
  const std::string* cmd = json_spirit::object_get_str(params, "cmd");
  if (!cmd)
    return wcommon::send_error(*requester, -32602, request->id,
                               "Invalid params: Need 'cmd' in params.");
  const json_spirit::Object* given = json_spirit::object_get_object(params, "binders");
  json_spirit::Object binders = given ? *given : json_spirit::Object();
  if (const std::string* uri = json_spirit::object_get_str(params, "uri")) {
    std::string local;
    if (!download(*uri, local))
      return wcommon::send_error(*requester, -32603, request->id,
                                 "Failed to download executable file.");
    binders["path"] = local;
  }
  std::string command = *cmd;
  json_spirit::format_str_by_obj(binders, command);

  const bool ran = run(command);
  if (!ran) ACE_ERROR((LM_ERROR, "Failed to execute command: %s\n", command.c_str()));
  if (request->type() == JSON_RPC_Object::JSON_RPC_NOTIFY) return 0;
  return wcommon::send_result(*requester, *request, ran);
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_System_Execute_Handler)
