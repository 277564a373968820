#include "agent/mdrt/uuid_text.h"

#include <random>

#include "agent/mdrt/string_checker.h"

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

void uuid_generate(unsigned char* b) {
  thread_local std::mt19937_64 source{std::random_device{}()};
  for (int i = 0; i < 16; i += 8) {
    const unsigned long long r = source();
    for (int k = 0; k < 8; ++k) b[i + k] = static_cast<unsigned char>(r >> (8 * k));
  }
  b[6] = (b[6] & 0x0f) | 0x40;
  b[8] = (b[8] & 0x3f) | 0x80;
}
