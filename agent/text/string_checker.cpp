#include "agent/text/string_checker.h"

#include <cctype>
#include <cstring>

namespace {

bool is_hex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

bool String_Checker::check(const std::string& text, SC_Type type) {
  if (type != SC_HEX) return false;
  for (char c : text)
    if (!is_hex(c) && c != '-') return false;
  return true;
}

bool is_valid_uuid(const char* text) {
  if (!text || std::strlen(text) != 36) return false;
  for (int i = 0; i < 36; ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !is_hex(text[i])) return false;
  }
  return true;
}
