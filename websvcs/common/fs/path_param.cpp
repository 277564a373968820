#include "websvcs/common/fs/path_param.h"

#include <cerrno>

#include "agent/json_io/file_info.h"
#include "websvcs/common/frame/jsonrpc_reply.h"

namespace wcommon {

int send_path_error(JSON_RPC_Channel& channel, const json_spirit::Value& id,
                    int error) {
  POSIX_Error text(error, 1);
  send_error(channel, -32602, id, text.c_str());
  return -1;
}

bool accept_path(JSON_RPC_Channel& channel, const json_spirit::Value& id,
                 const std::string& path) {
  if (path.find('\0') == std::string::npos) return true;
  send_path_error(channel, id, EINVAL);
  return false;
}

}  // namespace wcommon
