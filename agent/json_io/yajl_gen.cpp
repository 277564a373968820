#include "agent/json_io/yajl_gen.h"

#include "agent/json_io/json_generator.h"
#include "agent/platform/utf.h"

JSON_Generator::~JSON_Generator() {}

bool JSON_Step_Generator::generate(yajl_gen_t* g) {
  Step step;
  while ((step = generate_step(g)) == MORE) {
  }
  return step == DONE;
}

YAJL_Printer::~YAJL_Printer() {}

namespace {
void print_to_printer(void* ctx, const char* data, size_t length) {
  static_cast<YAJL_Printer*>(ctx)->print(data, length);
}
}  // namespace

yajl_gen yajl_gen_alloc_printer(YAJL_Printer* printer,
                                const yajl_alloc_funcs* funcs, bool beautify,
                                const char* indent) {
  yajl_gen g = yajl_gen_alloc(funcs);
  if (!g) return nullptr;
  yajl_gen_config(g, yajl_gen_print_callback, print_to_printer, printer);
  if (beautify) {
    yajl_gen_config(g, yajl_gen_beautify, 1);
    if (indent) yajl_gen_config(g, yajl_gen_indent_string, indent);
  }
  // Invalid UTF-8 would make the reply unreadable; refuse it at the source.
  yajl_gen_config(g, yajl_gen_validate_utf8, 1);
  return g;
}

namespace {

// What each byte needs: 0 nothing, 1 an escape, 2 a UTF-8 check of the
// whole text (a byte of a multi-byte sequence).
struct Byte_Kinds {
  unsigned char kind[256];
  constexpr Byte_Kinds() : kind() {
    for (int c = 0; c < 256; ++c)
      kind[c] = c < 0x20 || c == '"' || c == '\\' ? 1 : c >= 0x80 ? 2 : 0;
  }
};
constexpr Byte_Kinds byte_kinds;

}  // namespace

bool append_json_string(const char* data, std::size_t length, std::string& out) {
  static const char hex[] = "0123456789ABCDEF";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  const unsigned char* const end = p + length;
  const unsigned char* run = p;
  bool checked = false;
  out.push_back('"');
  for (; p < end; ++p) {
    const unsigned char kind = byte_kinds.kind[*p];
    if (kind == 0) continue;
    if (kind == 2) {
      // Plain ASCII, the usual text, needs no check at all.
      if (!checked && !is_valid_utf8(data, length)) return false;
      checked = true;
      continue;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    run = p + 1;
    switch (*p) {
      case '"': out.append("\\\"", 2); break;
      case '\\': out.append("\\\\", 2); break;
      case '\n': out.append("\\n", 2); break;
      case '\r': out.append("\\r", 2); break;
      case '\t': out.append("\\t", 2); break;
      case '\f': out.append("\\f", 2); break;
      case '\b': out.append("\\b", 2); break;
      default: {
        const char escaped[6] = {'\\', 'u', '0', '0', hex[*p >> 4], hex[*p & 15]};
        out.append(escaped, sizeof escaped);
      }
    }
  }
  out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(end - run));
  out.push_back('"');
  return true;
}

