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

// A JSON string of valid UTF-8 text, escaped exactly as YAJL escapes it:
// the two-character forms where JSON has them, \u00XX (upper-case) for the
// other control characters, everything else (the solidus too) as it is.
void append_json_string(std::string& out, const std::string& text) {
  static const char hex_digits[] = "0123456789ABCDEF";
  out += '"';
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: {
        const char u[] = {'\\', 'u', '0', '0', hex_digits[c >> 4], hex_digits[c & 15]};
        out.append(u, sizeof u);
      }
    }
  }
  out.append(text, run, std::string::npos);
  out += '"';
}

}  // namespace

int file_info_to_json(yajl_gen_t* g, const Directory_Entry_T<char>& entry,
                      unsigned) {
  const bool link = S_ISLNK(entry.mode) && entry.has_stat;
  if (is_valid_utf8(entry.name) && (!link || is_valid_utf8(entry.target))) {
    // The usual entry goes out as one piece, composed here the way YAJL
    // writes it: a listing of a million entries made twelve generator
    // calls and twenty prints per entry. YAJL passes a number's text on as
    // it stands, with its separator, which is what carries the piece.
    thread_local std::string text;
    text.clear();
    text += "{\"name\":";
    append_json_string(text, entry.name);
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
      append_json_string(text, entry.target);
    }
    text += '}';
    return yajl_gen_number(g, text.data(), text.size());
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
