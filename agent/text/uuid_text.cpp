#include "agent/text/uuid_text.h"

#include "agent/text/random_text.h"
#include "agent/text/string_checker.h"

std::string uuid_binary_to_string(const unsigned char* b) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += digits[b[i] >> 4];
    text += digits[b[i] & 15];
  }
  return text;
}

bool uuid_string_to_binary(const std::string& text, unsigned char* bytes) {
  if (text.size() != 36 || !is_valid_uuid(text.c_str())) return false;
  int n = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '-') continue;
    const std::string pair = text.substr(i++, 2);
    bytes[n++] = static_cast<unsigned char>(std::stoi(pair, nullptr, 16));
  }
  return n == 16;
}

bool uuid_generate(unsigned char* b) {
  if (!random_bytes(b, 16)) return false;
  b[6] = (b[6] & 0x0f) | 0x40;  // version 4: random
  b[8] = (b[8] & 0x3f) | 0x80;  // the RFC 4122 variant
  return true;
}
