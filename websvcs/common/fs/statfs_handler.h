#ifndef WCOMMON_FS_STATFS_HANDLER_H
#define WCOMMON_FS_STATFS_HANDLER_H

#include "agent/json_rpc/json_rpc_handler.h"

// fs.statfs: total, free and used bytes and the file-system type of the
// volume holding a path; false when the path cannot be queried.
class JSON_RPC_Statfs_Handler : public JSON_RPC_Handler {
 public:
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override;
};

#endif
