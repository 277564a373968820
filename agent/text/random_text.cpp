#include "agent/text/random_text.h"

#include <openssl/rand.h>

#include <climits>
#include <vector>

bool random_bytes(unsigned char* out, std::size_t length) {
  while (length > 0) {
    const int piece = length > INT_MAX ? INT_MAX : static_cast<int>(length);
    if (RAND_bytes(out, piece) != 1) return false;
    out += piece;
    length -= static_cast<std::size_t>(piece);
  }
  return true;
}

std::string random_hex(std::size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  if (!random_bytes(raw.data(), raw.size())) return std::string();
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * bytes);
  for (unsigned char b : raw) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}
