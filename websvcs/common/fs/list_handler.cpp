// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/fs/list_handler.h"

#include <cerrno>
#include <chrono>
#include <memory>
#include <new>

#include "mdrt/directory_iterator.h"
#include "websvcs/common/fs/list_generator.h"
#include "websvcs/common/fs/list_options.h"
#include "websvcs/common/fs/list_page.h"
#include "websvcs/common/fs/path_param.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

int JSON_RPC_FS_List_Handler::init(int argc, char* argv[]) {
  return FS_List_Options::instance()->init(argc, argv);
}

int JSON_RPC_FS_List_Handler::fini() {
  FS_List_Options::close();
  return 0;
}

bool JSON_RPC_FS_List_Handler::parse_params(const json_spirit::Value& params,
                                            std::string& path) {
  switch (params.type()) {
    case json_spirit::null_type:
      path.clear();
      return true;
    case json_spirit::str_type:
      path = params.get_str();
      return true;
    case json_spirit::obj_type: {
      const std::string* given = json_spirit::object_get_str(params, "path");
      path = given ? *given : std::string();
      return true;
    }
    default:
      return false;
  }
}

int JSON_RPC_FS_List_Handler::list(JSON_RPC_Channel& channel,
                                   const std::string& path,
                                   const json_spirit::Value& id) {
  if (path.empty()) {
    JSON_RPC_FS_List_Generator drives(&id, nullptr);
    return channel.send_generator(drives);
  }
  if (!wcommon::accept_path(channel, id, path)) return -1;
  std::unique_ptr<Directory_Iterator_T<char>> iterator(
      new (std::nothrow) Directory_Iterator_T<char>(
          path.c_str(), true,
          Directory_Reader::WITH_STAT | Directory_Reader::READ_AHEAD));
  if (!iterator) return wcommon::send_path_error(channel, id, ENOMEM);
  if (!iterator->has_handle())
    return wcommon::send_path_error(channel, id, errno);
  // The channel takes the listing over: to a requester that reads slowly
  // it goes out as the socket drains, without holding this thread.
  std::unique_ptr<JSON_RPC_FS_List_Generator> entries(
      new (std::nothrow) JSON_RPC_FS_List_Generator(id, std::move(iterator)));
  if (!entries) return wcommon::send_path_error(channel, id, ENOMEM);
  return channel.send_generator(std::move(entries));
}

int JSON_RPC_FS_List_Handler::handle_object(JSON_RPC_Channel_WPtr channel,
                                            JSON_RPC_Object_Ptr object) {
  const auto started = std::chrono::steady_clock::now();
  JSON_RPC_Request* request;
  JSON_RPC_Channel_Ptr requester;
  if (!WCOMMON_ACCEPT_REQUEST(object, channel, request, requester)) return -1;
  std::string path;
  if (!parse_params(request->params, path))
    return wcommon::send_error(
        *requester, -32602, request->id,
        "Invalid params: params type must be omitted, null, string or obj_type");
  if (wcommon::wants_list_page(request->params))
    return wcommon::send_list_page(*requester, request->id, path, request->params, started);
  return list(*requester, path, request->id);
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_FS_List_Handler)
