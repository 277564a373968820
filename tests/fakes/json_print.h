// Lets GoogleTest print JSON values as JSON text in failure messages.
#ifndef TESTS_FAKES_JSON_PRINT_H
#define TESTS_FAKES_JSON_PRINT_H

#include <ostream>

#include "agent/json_spirit/json_spirit.h"

namespace json_spirit {
inline void PrintTo(const Value& value, std::ostream* os) {
  *os << JSON_Dump(value, false);
}
}  // namespace json_spirit

#endif
