// The path a file-system request names, as the system calls will read it.
#ifndef WCOMMON_FS_PATH_PARAM_H
#define WCOMMON_FS_PATH_PARAM_H

#include <string>

#include "agent/json_rpc/json_rpc_channel.h"

namespace wcommon {

// Answers -32602 with the system's text of `error` (as a failed open
// reads: "No such file or directory"); returns -1.
int send_path_error(JSON_RPC_Channel& channel, const json_spirit::Value& id,
                    int error);

// True when `path` can reach the system whole. A NUL byte would cut it
// short there ("/etc\0/../root" would name /etc): such a path is answered
// with the text of EINVAL and false.
bool accept_path(JSON_RPC_Channel& channel, const json_spirit::Value& id,
                 const std::string& path);

}  // namespace wcommon

#endif
