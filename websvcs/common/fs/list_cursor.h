// Where a paged fs.list goes on. The caller gets it as an opaque text and
// gives it back unchanged; the agent seals it (text/sealed_text.h) together
// with the path it lists, so a made-up, altered or borrowed cursor, or one
// from before a restart, does not open.
#ifndef WCOMMON_FS_LIST_CURSOR_H
#define WCOMMON_FS_LIST_CURSOR_H

#include <cstdint>
#include <string>

#include "agent/platform/directory_reader.h"

struct FS_List_Cursor {
  // The directory as the first page found it: a cursor holds only while
  // it is the same directory, unchanged.
  Directory_Reader::Identity directory;
  // False: the listing goes on from its start.
  bool after_entry = false;
  // The last entry handed out: where it is read again, and its name's
  // hash, which tells it is still there. For the drive list, the next
  // letter to examine.
  std::int64_t position = 0;
  std::uint64_t name_hash = 0;
};

// "" when the agent cannot seal (no random key).
std::string encode_list_cursor(const FS_List_Cursor& cursor, const std::string& path);
// False for any text encode_list_cursor did not make for `path` in this
// process.
bool decode_list_cursor(const std::string& text, const std::string& path,
                        FS_List_Cursor& cursor);

// FNV-1a: names in a cursor are only compared, never read back.
std::uint64_t list_name_hash(const std::string& name);

#endif
