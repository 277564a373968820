#include "agent/json_io/yajl_gen.h"

#include "agent/json_io/json_generator.h"

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
