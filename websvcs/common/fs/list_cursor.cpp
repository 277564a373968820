#include "websvcs/common/fs/list_cursor.h"

#include "agent/text/sealed_text.h"

namespace {

const char VERSION = 1;
const std::size_t FIELDS = 6;
const std::size_t PAYLOAD_SIZE = 2 + 8 * FIELDS;

// The listing a cursor belongs to; the path ends the context, so a cursor
// of one path opens for no other.
std::string context_of(const std::string& path) { return "fs.list cursor\n" + path; }

void put(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>(value >> (8 * i));
}

std::uint64_t get(const std::string& in, std::size_t at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i)
    value = (value << 8) | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
  return value;
}

}  // namespace

std::string encode_list_cursor(const FS_List_Cursor& c, const std::string& path) {
  std::string payload;
  payload += VERSION;
  payload += static_cast<char>(c.after_entry ? 1 : 0);
  put(payload, c.directory.device);
  put(payload, c.directory.inode);
  put(payload, static_cast<std::uint64_t>(c.directory.modified_ns));
  put(payload, static_cast<std::uint64_t>(c.directory.changed_ns));
  put(payload, static_cast<std::uint64_t>(c.position));
  put(payload, c.name_hash);
  return seal_text(payload, context_of(path));
}

bool decode_list_cursor(const std::string& text, const std::string& path, FS_List_Cursor& c) {
  std::string payload;
  if (!open_sealed_text(text, context_of(path), payload) || payload.size() != PAYLOAD_SIZE ||
      payload[0] != VERSION || (payload[1] != 0 && payload[1] != 1))
    return false;
  c.after_entry = payload[1] == 1;
  c.directory.device = get(payload, 2);
  c.directory.inode = get(payload, 10);
  c.directory.modified_ns = static_cast<std::int64_t>(get(payload, 18));
  c.directory.changed_ns = static_cast<std::int64_t>(get(payload, 26));
  c.position = static_cast<std::int64_t>(get(payload, 34));
  c.name_hash = get(payload, 42);
  return true;
}

std::uint64_t list_name_hash(const std::string& name) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : name) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return hash;
}
