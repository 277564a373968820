// Lets GoogleTest print JSON values as JSON text in failure messages, and
// reads the JSON text a test expects to be valid.
#ifndef TESTS_FAKES_JSON_PRINT_H
#define TESTS_FAKES_JSON_PRINT_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "agent/json_spirit/json_spirit.h"

namespace json_spirit {
inline void PrintTo(const Value& value, std::ostream* os) {
  *os << JSON_Dump(value, false);
}
}  // namespace json_spirit

inline json_spirit::Value parse_json(const std::string& text) {
  json_spirit::Value v;
  std::string error;
  EXPECT_TRUE(json_spirit::read(text, v, &error)) << text.substr(0, 80) << ": " << error;
  return v;
}

#endif
