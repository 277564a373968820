// Which files of one agent component a log upload sends, and under which
// names: the component's fixed files, then its log folders walked.
#ifndef WCOMMON_UPLOAD_LOG_LOG_COLLECTION_H
#define WCOMMON_UPLOAD_LOG_LOG_COLLECTION_H

#include <string>

#include "agent/clntio/client_io.h"

namespace wcommon {

// The five fixed files "<base><suffix>" (base: `base_name` in the log
// folder) go up as "<task>/<node>_<address>/<time>_<type><suffix>.gz"; then
// the older agent's folder is walked (its outcome ignored) and, for type
// "agent", the component's log folder (its outcome is the result). False as
// soon as a fixed file fails.
bool upload_component_logs(Client_IO& io, const char* base_name,
                           const std::string& type, const std::string& task_id);

// Sends every entry of `folder` below `prefix`, descending into subfolders
// (never through "." or ".."). With `filter`, names the log-name filter
// matches are skipped, at this level only. Files named "kvrio..." are
// references (upload_by_reference, outcome ignored). False as soon as a file
// or subfolder fails; a folder that cannot be read is an empty walk.
bool upload_directory(Client_IO& io, const std::string& folder,
                      const std::string& prefix, bool filter);

// Sends the file whose path the file `origin` holds, under `target`.
bool upload_by_reference(Client_IO& io, const char* target, const char* origin);

}  // namespace wcommon

#endif
