// fs.list in pages: params {"path", "limit", "cursor"} answer
// {"entries": [...], "cursor": "...", "partial": true} until the last page,
// which has "partial": false and no cursor. A page ends after `limit`
// entries, or early once the listing has taken fs.list.page_ms, so a slow
// disk never holds a caller longer. The drive list (no path) pages the same
// way, by letter.
#ifndef WCOMMON_FS_LIST_PAGE_H
#define WCOMMON_FS_LIST_PAGE_H

#include <chrono>
#include <string>

#include "agent/json_rpc/json_rpc_channel.h"

namespace wcommon {

const long LIST_PAGE_MAX = 100000;
// Entries of a page when only a cursor is given.
const long LIST_PAGE_DEFAULT = 1000;
const char LIST_PAGE_MS_SETTING[] = "fs.list.page_ms";
const unsigned long LIST_PAGE_MS_DEFAULT = 2000;

// Whether `params` ask for a page: an object with a "limit" or a "cursor"
// that is not null.
bool wants_list_page(const json_spirit::Value& params);

// Sends the page `params` ask for of `path` ("" for the drive list),
// whose request arrived at `started`; errors as -32602. The handler's
// result.
int send_list_page(JSON_RPC_Channel& channel, const json_spirit::Value& id,
                   const std::string& path, const json_spirit::Value& params,
                   std::chrono::steady_clock::time_point started);

}  // namespace wcommon

#endif
