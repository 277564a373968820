#include "agent/json_io/file_info.h"

#include <sys/stat.h>
#include <yajl/yajl_gen.h>

#include <charconv>
#include <cstring>
#include <string>

#include "agent/platform/platform.h"
#include "agent/platform/utf.h"
#include "agent/json_io/yajl_gen.h"

namespace {

const char* type_name(const Directory_Entry_T<char>& e) {
  if (S_ISREG(e.mode)) return "file";
  if (S_ISDIR(e.mode)) return "directory";
  if (S_ISLNK(e.mode)) return "symlink";
  return "other";
}

std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Writes `key` with the text, and `key`_bytes when the text is not UTF-8.
void put_text(yajl_gen g, const char* key, const std::string& text) {
  yajl_gen_text(g, key);
  if (is_valid_utf8(text)) {
    yajl_gen_text(g, text);
    return;
  }
  yajl_gen_text(g, sanitize_utf8(text));
  yajl_gen_text(g, std::string(key) + "_bytes");
  yajl_gen_text(g, hex(text));
}

template <class Integer>
void append_whole(std::string& out, Integer value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, static_cast<std::size_t>(end - digits));
}

}  // namespace

int file_info_to_json(yajl_gen_t* g, const Directory_Entry_T<char>& entry,
                      unsigned) {
  const bool link = S_ISLNK(entry.mode) && entry.has_stat;
  // The usual entry goes out as one piece, composed here as YAJL writes it:
  // a listing of a million entries made twelve generator calls and twenty
  // prints per entry. A name or target that is not UTF-8 takes the
  // generator's path below.
  thread_local std::string text;
  text.assign("{\"name\":");
  bool whole = append_json_string(entry.name.data(), entry.name.size(), text);
  if (whole) {
    text += ",\"type\":\"";
    text += type_name(entry);
    text += '"';
    if (entry.has_stat) {
      text += ",\"size\":";
      append_whole(text, entry.size);
      text += ",\"mode\":";
      append_whole(text, static_cast<unsigned>(entry.mode & 07777));
      text += ",\"mtime\":";
      append_whole(text, entry.mtime);
    }
    if (link) {
      text += ",\"target\":";
      whole = append_json_string(entry.target.data(), entry.target.size(), text);
    }
  }
  if (whole) {
    text += '}';
    return yajl_gen_verbatim(g, text.data(), text.size());
  }
  yajl_gen_map_open(g);
  put_text(g, "name", entry.name);
  yajl_gen_text(g, "type");
  yajl_gen_text(g, type_name(entry));
  if (entry.has_stat) {
    yajl_gen_text(g, "size");
    yajl_gen_whole(g, entry.size);
    yajl_gen_text(g, "mode");
    yajl_gen_whole(g, entry.mode & 07777);
    yajl_gen_text(g, "mtime");
    yajl_gen_whole(g, entry.mtime);
  }
  if (link) put_text(g, "target", entry.target);
  return yajl_gen_map_close(g);
}

POSIX_Error::POSIX_Error(int errnum, int flag) {
  text_ = platform::error_text(errnum);
  if (flag != 1) text_ += " (errno " + std::to_string(errnum) + ")";
}
