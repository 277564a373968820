// UUIDs as the agent stores them (16 raw bytes) and shows them (the
// 8-4-4-4-12 lower-case text).
#ifndef TEXT_UUID_TEXT_H
#define TEXT_UUID_TEXT_H

#include <string>

// The text of 16 bytes.
std::string uuid_binary_to_string(const unsigned char* bytes);
// The 16 bytes of a UUID's text (either case); false when it is no UUID.
bool uuid_string_to_binary(const std::string& text, unsigned char* bytes);
// A fresh random (version 4) UUID from random_bytes (random_text.h), the
// one generator of every UUID the agent makes; false when the source fails.
bool uuid_generate(unsigned char* bytes);

#endif
