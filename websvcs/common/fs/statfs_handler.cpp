// Wire contract: callers match this file's message texts and keys exactly; do not reword.
#include "websvcs/common/fs/statfs_handler.h"

#include <cstdint>

#include "agent/platform/platform.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/jsonrpc_reply.h"
#include "websvcs/common/fs/path_param.h"

int JSON_RPC_Statfs_Handler::handle_object(JSON_RPC_Channel_WPtr channel,
                                           JSON_RPC_Object_Ptr object) {
  JSON_RPC_Request* request;
  JSON_RPC_Channel_Ptr requester;
  if (!WCOMMON_ACCEPT_REQUEST(object, channel, request, requester)) return -1;
  if (request->params.type() != json_spirit::str_type)
    return wcommon::send_error(*requester, -32602, request->id,
                               "Invalid params: params type must be string");
  const std::string& path = request->params.get_str();
  if (!wcommon::accept_path(*requester, request->id, path)) return 0;

  JSON_RPC_Object_Ptr reply = wcommon::new_response(*request, false);
  if (!reply.get()) return wcommon::send_out_of_memory(*requester, request->id);
  json_spirit::Value& result = static_cast<JSON_RPC_Response*>(reply.get())->result;

  FS_Stat stat;
  if (get_disk_free_space(path.c_str(), stat)) {
    const std::uint64_t unit = stat.unit_size;
    json_spirit::Object usage;
    usage["type"] = get_filesystem_type(path.c_str());
    usage["total"] = static_cast<std::int64_t>(stat.total_units * unit);
    usage["free"] = static_cast<std::int64_t>(stat.free_units * unit);
    usage["used"] =
        static_cast<std::int64_t>((stat.total_units - stat.free_units) * unit);
    result = std::move(usage);
  }
  return requester->send_object(reply);
}

WCOMMON_JSON_RPC_HANDLER_FACTORY(JSON_RPC_Statfs_Handler)
