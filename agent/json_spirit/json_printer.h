// A printer that turns what a generator prints back into a JSON value, so
// a writer made for text output can fill a value in memory.
#ifndef JSON_SPIRIT_JSON_PRINTER_H
#define JSON_SPIRIT_JSON_PRINTER_H

#include <memory>

#include "agent/json_spirit/json_spirit.h"
#include "agent/json_io/yajl_gen.h"

class YAJL_Parser;
namespace json_spirit {
class Value_Builder;
}

class JSON_Printer : public YAJL_Printer {
 public:
  // `target` receives the value once a complete one has been printed.
  explicit JSON_Printer(json_spirit::Value& target);
  ~JSON_Printer() override;
  void print(const char* data, std::size_t length) override;
  void write(const char* data, std::size_t length) override { print(data, length); }
  // True once a complete value reached the target, and nothing was wrong.
  bool done() const { return done_ && ok_; }

 private:
  json_spirit::Value& target_;
  std::unique_ptr<json_spirit::Value_Builder> builder_;
  std::unique_ptr<YAJL_Parser> parser_;
  bool done_ = false, ok_ = true;
};

#endif
