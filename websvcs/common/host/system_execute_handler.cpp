#include "websvcs/common/host/system_execute_handler.h"

#include <ace/ACE.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_unistd.h>

#include <cerrno>
#include <ctime>

#include "agent/chost/host_manager.h"
#include "agent/clntio/http_client.h"
#include "agent/paths/path_conf.h"
#include "agent/text/time_text.h"
#include "agent/platform/files.h"
#include "agent/platform/platform.h"
#include "agent/platform/process_runner.h"
#include "agent/websocketc/websocket_options.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

namespace {

const char DOWNLOADS[] = "$APPDATA\\quillon\\veltrano\\$COMPONENT\\downloads";
const char EXECUTE_LOG[] =
    "$APPDATA\\quillon\\veltrano\\$COMPONENT\\log\\execute.log";

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
  Path_Conf folder(DOWNLOADS, true, name.c_str(), 0750);
  local = folder.path();
  return folder.ok() && clntio::http_session_get_file(session, request, local) &&
         platform::make_executable(local);
}

// One record of the execution log at `path`, written whole; false, logged,
// when the disk took less (full, or over quota).
bool write_record(ACE_HANDLE log, const std::string& path, const char* format,
                  const std::string& command, int code) {
  const std::string now =
      POSIX_Time_To_ISO8601_Local(std::time(nullptr), "%Y-%m-%d %H:%M:%S");
  int n = std::snprintf(nullptr, 0, format, now.c_str(), command.c_str(), code);
  std::string text(n > 0 ? n : 0, '\0');
  std::snprintf(&text[0], text.size() + 1, format, now.c_str(), command.c_str(),
                code);
  if (ACE::write_n(log, text.data(), text.size()) == static_cast<ssize_t>(text.size()))
    return true;
  ACE_ERROR((LM_ERROR, "Failed to write file %s, errno=%d, %m\n", path.c_str(), errno));
  return false;
}

struct Handle_Guard {
  ACE_HANDLE handle;
  ~Handle_Guard() {
    if (handle != ACE_INVALID_HANDLE) ACE_OS::close(handle);
  }
};

// Runs `command` with its output on the execution log and waits for it.
// False when it could not be started.
bool run(const std::string& command) {
  const std::string path = platform::expand_environment(EXECUTE_LOG);
  Handle_Guard log{ACE_OS::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT,
                                ACE_DEFAULT_FILE_PERMS)};
  if (log.handle == ACE_INVALID_HANDLE) {
    ACE_ERROR((LM_ERROR, "Failed to open file %s to write, errno=%d, %m\n",
               path.c_str(), errno));
    return false;
  }
  // A command whose start cannot be recorded would leave no trace of its
  // output either: it is not run.
  if (!write_record(log.handle, path, "%s|%s\n", command, 0)) return false;
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
  write_record(log.handle, path, "\n%s|%s|%d\n\n\n", command, exit.code);
  return true;
}

}  // namespace

int JSON_RPC_System_Execute_Handler::handle_object(
    JSON_RPC_Channel_WPtr channel, JSON_RPC_Object_Ptr object) {
  JSON_RPC_Channel_Ptr requester = wcommon::lock_channel(channel);
  if (!requester.get()) {
    WCOMMON_LOG_REQUESTER_GONE();
    return -1;
  }
  JSON_RPC_Request* request = wcommon::as_request_or_notify(object);
  if (!request) {
    WCOMMON_LOG_NOT_REQUEST_OR_NOTIFY();
    return -1;
  }
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
