#include "agent/text/sealed_text.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdint>
#include <mutex>

#include "agent/text/random_text.h"

namespace {

const std::size_t KEY_SIZE = 32;
// Half of SHA-256: forging still takes 2^128 tries, and texts stay short.
const std::size_t SEAL_SIZE = 16;

const char ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// The process's key; null when the random source failed.
const unsigned char* key() {
  static unsigned char bytes[KEY_SIZE];
  static bool made = false;
  static std::once_flag once;
  std::call_once(once, [] { made = random_bytes(bytes, KEY_SIZE); });
  return made ? bytes : nullptr;
}

// HMAC over the payload's length, the payload and the context, so no split
// of one string between the two matches another.
bool seal_of(const unsigned char* k, const std::string& payload,
             const std::string& context, unsigned char* out) {
  std::string message;
  const std::uint64_t length = payload.size();
  for (int i = 0; i < 8; ++i) message += static_cast<char>(length >> (8 * i));
  message += payload;
  message += context;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  if (!HMAC(EVP_sha256(), k, KEY_SIZE,
            reinterpret_cast<const unsigned char*>(message.data()), message.size(),
            digest, &digest_size) ||
      digest_size < SEAL_SIZE)
    return false;
  std::copy(digest, digest + SEAL_SIZE, out);
  return true;
}

std::string to_base64url(const std::string& bytes) {
  std::string text;
  text.reserve((bytes.size() * 4 + 2) / 3);
  std::uint32_t bits = 0;
  int held = 0;
  for (unsigned char c : bytes) {
    bits = (bits << 8) | c;
    held += 8;
    while (held >= 6) {
      held -= 6;
      text += ALPHABET[(bits >> held) & 63];
    }
  }
  if (held > 0) text += ALPHABET[(bits << (6 - held)) & 63];
  return text;
}

// False on a character outside the alphabet, a length no encoding gives,
// or leftover bits that are not zero: each byte string has one text.
bool from_base64url(const std::string& text, std::string& bytes) {
  if (text.size() % 4 == 1) return false;
  bytes.clear();
  std::uint32_t bits = 0;
  int held = 0;
  for (char c : text) {
    int value;
    if (c >= 'A' && c <= 'Z') value = c - 'A';
    else if (c >= 'a' && c <= 'z') value = c - 'a' + 26;
    else if (c >= '0' && c <= '9') value = c - '0' + 52;
    else if (c == '-') value = 62;
    else if (c == '_') value = 63;
    else return false;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      bytes += static_cast<char>((bits >> held) & 0xff);
    }
  }
  return (bits & ((1u << held) - 1)) == 0;
}

}  // namespace

std::string seal_text(const std::string& payload, const std::string& context) {
  const unsigned char* k = key();
  unsigned char seal[SEAL_SIZE];
  if (!k || !seal_of(k, payload, context, seal)) return std::string();
  return to_base64url(payload + std::string(reinterpret_cast<char*>(seal), SEAL_SIZE));
}

bool open_sealed_text(const std::string& text, const std::string& context,
                      std::string& payload) {
  const unsigned char* k = key();
  std::string bytes;
  if (!k || !from_base64url(text, bytes) || bytes.size() < SEAL_SIZE) return false;
  const std::string body = bytes.substr(0, bytes.size() - SEAL_SIZE);
  unsigned char expected[SEAL_SIZE];
  if (!seal_of(k, body, context, expected) ||
      CRYPTO_memcmp(expected, bytes.data() + body.size(), SEAL_SIZE) != 0)
    return false;
  payload = body;
  return true;
}
