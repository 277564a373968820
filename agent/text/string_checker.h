// Checks of request texts before they reach a service.
#ifndef TEXT_STRING_CHECKER_H
#define TEXT_STRING_CHECKER_H

#include <string>

class String_Checker {
 public:
  // The kinds keep their numbers, since callers may store them; only the
  // hexadecimal check is in use.
  enum SC_Type {
    SC_HEX = 12,  // hexadecimal digits and '-', as in a UUID's text
  };

  // True when every character of `text` belongs to `type` (so for "");
  // false for a kind it does not know.
  static bool check(const std::string& text, SC_Type type);
};

// True for the 8-4-4-4-12 hexadecimal form of a UUID, either case.
bool is_valid_uuid(const char* text);

#endif
