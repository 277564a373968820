#include "agent/json_spirit/json_printer.h"

#include "agent/json_spirit/value_builder.h"

JSON_Printer::JSON_Printer(json_spirit::Value& target)
    : target_(target),
      builder_(new json_spirit::Value_Builder),
      parser_(new YAJL_Parser(*builder_)) {}

JSON_Printer::~JSON_Printer() {}

void JSON_Printer::print(const char* data, std::size_t length) {
  if (!ok_ || done_) {
    ok_ = false;  // output after a complete value is not one value
    return;
  }
  ok_ = parser_->feed(data, length);
  // A number at the top level ends only with the text.
  if (ok_ && !builder_->done() && builder_->value().type() != json_spirit::obj_type &&
      builder_->value().type() != json_spirit::array_type)
    ok_ = parser_->complete();
  if (ok_ && builder_->done()) {
    target_ = std::move(builder_->value());
    done_ = true;
  }
}
