#ifndef WCOMMON_FS_LIST_HANDLER_H
#define WCOMMON_FS_LIST_HANDLER_H

#include <string>

#include "agent/json_rpc/json_rpc_handler.h"

// fs.list: the entries of one directory, or the drive list when no
// directory is named, streamed into the reply as they are read; in pages
// when the params object has a "limit" or a "cursor" (fs/list_page.h).
class JSON_RPC_FS_List_Handler : public JSON_RPC_Handler {
 public:
  // Service arguments go to FS_List_Options; fini puts them back to their
  // default.
  int init(int argc, char* argv[]) override;
  int fini() override;
  int handle_object(JSON_RPC_Channel_WPtr channel,
                    JSON_RPC_Object_Ptr object) override;

  // Accepted params: omitted/null (drives), a string (the path), an object
  // (its string "path", else drives). False for any other form.
  static bool parse_params(const json_spirit::Value& params, std::string& path);

 private:
  int list(JSON_RPC_Channel& channel, const std::string& path,
           const json_spirit::Value& id);
};

#endif
