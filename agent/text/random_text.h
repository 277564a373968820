// Randomness for every identifier and secret the agent makes (UUIDs,
// challenges, the local session key). It comes from OpenSSL's RAND_bytes,
// which draws on the operating system's source and reseeds after a fork,
// so no two processes or restarts share a sequence.
#ifndef TEXT_RANDOM_TEXT_H
#define TEXT_RANDOM_TEXT_H

#include <cstddef>
#include <string>

// Fills `out` with `length` random bytes; false when the source fails.
bool random_bytes(unsigned char* out, std::size_t length);

// `bytes` random bytes as 2 x `bytes` lower-case hex digits; "" when the
// source fails.
std::string random_hex(std::size_t bytes);

#endif
