// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/host/system_execute_handler.h"

#include <ace/OS_NS_unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <ctime>

#include "agent/chost/host_manager.h"
#include "agent/clntio/http_client.h"
#include "agent/paths/app_data.h"
#include "agent/text/time_text.h"
#include "agent/platform/file.h"
#include "agent/platform/files.h"
#include "agent/platform/platform.h"
#include "agent/platform/process_runner.h"
#include "agent/systemutil/system_actions.h"
#include "agent/websocketc/websocket_options.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

namespace {

// What a request asks beyond the command: its timeout and the digest of its
// download. An empty `error` when they are good.
struct Execute_Options {
  std::chrono::seconds timeout{0};
  std::string sha256;
  const char* error = nullptr;
};

Execute_Options read_options(const json_spirit::Value& params, bool has_uri) {
  Execute_Options o;
  o.timeout = std::chrono::seconds(System_Options::instance()->execute_timeout.load());
  const json_spirit::Object& members = params.get_obj();
  auto timeout = members.find("timeout");
  if (timeout != members.end()) {
    std::int64_t seconds;
    if (!wcommon::whole_seconds(timeout->second, seconds)) {
      o.error = "Invalid params: 'timeout' must be a whole number of seconds, 0 or more.";
      return o;
    }
    o.timeout = std::chrono::seconds(seconds);
  }
  auto sha256 = members.find("sha256");
  if (sha256 != members.end()) {
    const json_spirit::Value& v = sha256->second;
    bool hex = v.type() == json_spirit::str_type && v.get_str().size() == 64;
    for (std::size_t k = 0; hex && k < 64; ++k)
      hex = std::isxdigit(static_cast<unsigned char>(v.get_str()[k])) != 0;
    if (!hex) {
      o.error = "Invalid params: 'sha256' must be 64 hexadecimal digits.";
      return o;
    }
    if (!has_uri) {
      o.error = "Invalid params: 'sha256' needs 'uri'.";
      return o;
    }
    o.sha256 = v.get_str();
  } else if (has_uri && System_Options::instance()->require_sha256) {
    o.error = "Invalid params: 'sha256' is required with 'uri'.";
  }
  return o;
}

// Fetches `uri` from the management server into the downloads folder;
// `local` gets the file's path. False when nothing usable arrived, or when
// `sha256` is given and the file's digest is another.
bool download(const std::string& uri, const std::string& sha256, std::string& local) {
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
  return folder.ok() && clntio::http_session_get_file(session, request, local, sha256) &&
         platform::make_executable(local);
}

// One record of the execution log at `path`, written whole with one write
// (after what the command wrote through its own handle); `format` takes the
// local time and the command, then `detail` when given, else `code`. False,
// logged, when the disk took less (full, or over quota).
bool write_record(platform::File& log, const std::string& path, const char* format,
                  const std::string& command, int code, const char* detail = nullptr) {
  const std::string now =
      POSIX_Time_To_ISO8601_Local(std::time(nullptr), "%Y-%m-%d %H:%M:%S");
  auto print = [&](char* to, std::size_t size) {
    return detail ? std::snprintf(to, size, format, now.c_str(), command.c_str(), detail)
                  : std::snprintf(to, size, format, now.c_str(), command.c_str(), code);
  };
  int n = print(nullptr, 0);
  std::string text(n > 0 ? n : 0, '\0');
  print(&text[0], text.size() + 1);
  if (log.write(text.data(), text.size())) return true;
  ACE_ERROR((LM_ERROR, "Failed to write file %s, errno=%d, %m\n", path.c_str(), errno));
  return false;
}

// How the command ended, beyond its exit code, as one JSON object.
std::string end_facts(const platform::Process_Exit& exit) {
  char text[256];
  std::snprintf(text, sizeof text,
                "{\"code\":%d,\"signal\":%d,\"timed_out\":%s,\"cancelled\":%s,"
                "\"duration_ms\":%" PRId64 ",\"output_bytes\":%" PRIu64 "}",
                exit.code, exit.signal, exit.timed_out ? "true" : "false",
                exit.cancelled ? "true" : "false", static_cast<std::int64_t>(exit.duration_ms),
                static_cast<std::uint64_t>(exit.output_bytes));
  return text;
}

// Runs `command` with its output on the execution log and waits for it,
// ending its tree past `timeout` (0: none). False when it could not be
// started.
bool run(const std::string& command, std::chrono::seconds timeout) {
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
  platform::Process_Limits limits = process.limits();
  limits.timeout = timeout;
  process.set_limits(limits);
  ACE_DEBUG((LM_NOTICE, "Execute '%s'\n", process.command_line().c_str()));
  if (!process.start(path, ACE_DEFAULT_FILE_PERMS)) {
    ACE_ERROR((LM_ERROR, "Failed to run '%s', errno=%d, %m\n",
               process.command_line().c_str(), errno));
    return false;
  }
  platform::Process_Exit exit;
  process.wait(exit);
  // It ran: a lost end record is logged, the answer stays true. The second
  // line tells how it ended.
  if (write_record(log, path, "\n%s|%s|%d\n\n\n", command, exit.code))
    write_record(log, path, "%s|%s|%s\n\n\n", command, 0, end_facts(exit).c_str());
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
  const std::string* uri = json_spirit::object_get_str(params, "uri");
  const Execute_Options options = read_options(params, uri != nullptr);
  if (options.error) return wcommon::send_error(*requester, -32602, request->id, options.error);
  if (uri) {
    std::string local;
    if (!download(*uri, options.sha256, local))
      return wcommon::send_error(*requester, -32603, request->id,
                                 "Failed to download executable file.");
    binders["path"] = local;
  }
  std::string command = *cmd;
  json_spirit::format_str_by_obj(binders, command);

  const bool ran = run(command, options.timeout);
  if (!ran) ACE_ERROR((LM_ERROR, "Failed to execute command: %s\n", command.c_str()));
  if (request->type() == JSON_RPC_Object::JSON_RPC_NOTIFY) return 0;
  return wcommon::send_result(*requester, *request, ran);
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_System_Execute_Handler)
