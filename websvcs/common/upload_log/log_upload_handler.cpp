// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/upload_log/log_upload_handler.h"

#include <ace/Log_Msg.h>
#include <ace/Thread_Manager.h>

#include <cerrno>
#include <exception>
#include <new>
#include <utility>

#include "agent/chost/host_id.h"
#include "agent/chost/host_manager.h"
#include "agent/clntio/log_transfer.h"
#include "agent/json_rpc/global_channel.h"
#include "agent/json_rpc/json_rpc_session.h"
#include "agent/websocketc/websocket_options.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"
#include "websvcs/common/upload_log/log_collection.h"

namespace {

struct Log_Upload_Task {
  std::string task_id;
  std::string type;
  json_spirit::Object storage;
};

// The report's "files": one entry per file the connection set out to send.
json_spirit::Array files_of(const Client_IO& connection) {
  json_spirit::Array files;
  for (const Sent_File& file : connection.files()) {
    files.emplace_back(json_spirit::Object());
    json_spirit::Object& entry = files.back().get_obj();
    entry["name"] = file.name;
    entry["status"] = sent_file_status(file.status);
    // A file that did not arrive whole has no length or digest to check.
    entry["sha256"] = json_spirit::Value();
    entry["size"] = json_spirit::Value();
    if (file.status != Sent_File::FAILED) {
      entry["sha256"] = file.sha256;
      entry["size"] = file.size;
    }
  }
  return files;
}

bool every_file_whole(const Client_IO& connection) {
  for (const Sent_File& file : connection.files())
    if (file.status == Sent_File::FAILED) return false;
  return true;
}

// Even where a walk goes on past a file that failed, the upload is not
// complete: the report says "completed" only when every file arrived whole.
bool upload_logs(const std::string& task_id, const std::string& type,
                 const json_spirit::Object& storage, std::string& url,
                 json_spirit::Array& files) {
  URI uri;
  Client_IO_Base::Options options;
  Client_IO connection;
  if (!storage.empty()) {
    common::generate_url_by_storage(storage, task_id, uri, options, url);
  } else {
    options.probe = true;
    WebSocket_Options* server = WebSocket_Options::instance();
    if (!Client_IO::generate_uri(Client_IO::HTTP, server->host().c_str(), server->port(),
                                 server->tls(), "/k7/logs/upload", uri)) {
      ACE_DEBUG((LM_ERROR, ACE_TEXT("Failed to generate uri for logs uploading.\n")));
      return false;
    }
    options.set_extra_option("X-ACCESS-KEY",
                             Host_Manager::instance()->access_key().c_str());
  }
  if (!connection.connect(uri, options)) {
    ACE_DEBUG((LM_ERROR, ACE_TEXT("Failed to connect url, %s\n"), connection.error()));
    return false;
  }
  bool ok = true;
  if (type == "agent")
    ok = wcommon::upload_component_logs(connection, "veltrano-agent", type, task_id);
  else if (type == "storaged")
    ok = wcommon::upload_component_logs(connection, "veltrano-storaged", type, task_id);
  files = files_of(connection);
  return ok && every_file_whole(connection);
}

void send_upload_notify(const std::string& task_id, const std::string& type,
                        const char* state, const std::string* url,
                        json_spirit::Array files = json_spirit::Array()) {
  json_spirit::Object params{{"task_id", task_id},
                             {"host_id", Host_ID::instance()->c_str()},
                             {"state", state},
                             {"type", type},
                             {"files", std::move(files)}};
  if (url && !url->empty()) params["url"] = *url;
  JSON_RPC_Object_Ptr object;
  JSON_RPC_Session::make_rpc_request("log.upload.notify", params, object);
  JSON_RPC_Session(JSON_RPC_Channel_WPtr(Global_JSON_RPC_Channel::instance()))
      .notify(object);
}

// The task id becomes a segment of every remote name and of the report URL,
// and the agent's PUTs carry its access key: one that could climb out of the
// upload folder ("..", a slash) or cut a request line (a control byte) is
// refused before anything is sent.
bool usable_task_id(const std::string& id) {
  if (id.empty() || id == "." || id == "..") return false;
  for (unsigned char c : id)
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return false;
  return true;
}

// A private storage must be reached over http or https.
bool usable_storage(const json_spirit::Object* storage) {
  if (!storage || storage->empty()) return true;
  const std::string* url = json_spirit::object_get_str(*storage, "url");
  URI uri;
  return url && uri.parse(*url);
}

ACE_THR_FUNC_RETURN upload_worker(void* arg) {
  Log_Upload_Task* task = static_cast<Log_Upload_Task*>(arg);
  std::string url;
  json_spirit::Array files;
  const bool ok = upload_logs(task->task_id, task->type, task->storage, url, files);
  send_upload_notify(task->task_id, task->type, ok ? "completed" : "error", &url,
                     std::move(files));
  delete task;
  return 0;
}

}  // namespace

int JSON_RPC_Log_Upload_Handler::handle_object(JSON_RPC_Channel_WPtr channel,
                                               JSON_RPC_Object_Ptr object) {
  JSON_RPC_Request* notify;
  JSON_RPC_Channel_Ptr requester;
  if (!WCOMMON_ACCEPT_NOTIFY(object, channel, notify, requester)) return -1;
  const auto params_error = [&] {
    return wcommon::send_error(*requester, -32602, notify->id,
                               "Invalid params: params json format error.");
  };
  try {
    const json_spirit::Object& params = notify->params.get_obj();
    const std::string& task_id = json_spirit::object_get_str_or_throw(params, "task_id");
    const std::string& type = json_spirit::object_get_str_or_throw(params, "type");
    const json_spirit::Object* storage = json_spirit::object_get_object(params, "private_storage");
    if (!usable_task_id(task_id) || !usable_storage(storage)) return params_error();
    Log_Upload_Task* task = new (std::nothrow)
        Log_Upload_Task{task_id, type, storage ? *storage : json_spirit::Object()};
    if (!task) {
      errno = ENOMEM;
      return -1;
    }
    if (ACE_Thread_Manager::instance()->spawn(upload_worker, task, THR_DETACHED) == -1) {
      send_upload_notify(task_id, type, "error", nullptr);
      delete task;
    }
    return 0;
  } catch (const std::exception&) {
    return params_error();
  }
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Log_Upload_Handler)
