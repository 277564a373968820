// One directory entry as the JSON object a remote console shows, and error
// texts for replies.
#ifndef JSON_IO_FILE_INFO_H
#define JSON_IO_FILE_INFO_H

#include <string>

#include "agent/platform/directory_reader.h"

struct yajl_gen_t;

// Writes {"name", "type", "size", "mode", "mtime", "target"} for the entry:
// type is "file", "directory", "symlink" or "other"; mode the permission
// bits; mtime POSIX seconds; target only for links. Size, mode and mtime
// are left out when the entry carries no stat information. A name (or
// target) that is not valid UTF-8 is written with each invalid byte as
// U+FFFD, and its exact bytes follow as lower-case hex in "name_bytes"
// ("target_bytes"), so nothing is lost and the reply stays valid JSON.
// Returns the yajl_gen_status of the last write.
int file_info_to_json(yajl_gen_t* g, const Directory_Entry_T<char>& entry,
                      unsigned flags);

// The text of a system error number: with flag 1 the system's own message
// ("No such file or directory"); with flag 0 the message followed by the
// number ("No such file or directory (errno 2)").
class POSIX_Error {
 public:
  POSIX_Error(int errnum, int flag);
  const char* c_str() const { return text_.c_str(); }

 private:
  std::string text_;
};

#endif
