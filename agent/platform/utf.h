// Conversions between UTF-16 code units (held one per wchar_t) and UTF-8.
#ifndef PLATFORM_UTF_H
#define PLATFORM_UTF_H

#include <cstddef>
#include <string>

// Each unit is a code point, except that a unit from 0xD800 up to 0xDBFF is
// combined with the next unit as a surrogate pair without checking it. Stops
// at the first zero unit or after `length` units (npos: up to the zero).
std::string utf16_to_utf8(const wchar_t* units,
                          std::size_t length = std::string::npos);

// UTF-8 text as UTF-16 units; code points above 0xFFFF become surrogate
// pairs. Bytes that are not valid UTF-8 become U+FFFD.
std::wstring utf8_to_utf16(const std::string& text);

// Whether `text` is valid UTF-8 (no overlongs, no surrogates, <= U+10FFFF).
bool is_valid_utf8(const std::string& text);
bool is_valid_utf8(const char* text, std::size_t length);

// `text` with each invalid byte replaced by U+FFFD.
std::string sanitize_utf8(const std::string& text);

#endif
