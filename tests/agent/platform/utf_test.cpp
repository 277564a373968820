// UTF-16 units (one per wchar_t) to and from UTF-8.
#include "agent/platform/utf.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <tuple>

TEST(Utf16ToUtf8, EncodesEachRangeJoinsPairsAndStopsAtZeroOrLength) {
  const std::size_t all = std::string::npos;
  const std::tuple<std::wstring, std::size_t, std::string> cases[] = {
      {L"abc", all, "abc"}, {L"ab", 1, "a"}, {L"ab", 0, ""},
      {L"\xE9\x7FF", all, "\xC3\xA9\xDF\xBF"},  // 2 bytes: é, the last one
      {L"\x800\x20AC\xFFFF", all, "\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF"},
      {L"\xD83D\xDE00x", all, "\xF0\x9F\x98\x80x"},  // U+1F600
      {L"\xDBFF\xDFFF", all, "\xF4\x8F\xBF\xBF"},    // U+10FFFF
#if WCHAR_MAX > 0xFFFF  // a wider wchar_t than Windows'
      {L"\x10041", all, "A"},  // only the low 16 bits of a wchar_t count
#endif
      {L"\xDC00x", all, "\xED\xB0\x80x"},  // a lone trail stands for itself
      // A lead at the end is written alone; nothing past the end is taken.
      {std::wstring(L"a\xD800\0\xDC00", 4), all, "a\xED\xA0\x80"},
      {L"\xD83D\xDE00", 1, "\xED\xA0\xBD"},
      {L"\xD83D\xDE00", 2, "\xF0\x9F\x98\x80"},
      {std::wstring(L"ab\0c", 4), 4, "ab"},
  };
  for (const auto& [units, length, utf8] : cases)
    EXPECT_EQ(utf8, utf16_to_utf8(units.c_str(), length)) << length;
  EXPECT_EQ("", utf16_to_utf8(nullptr));
}

TEST(Utf8, RoundTripsThroughUtf16AndReplacesEachBadByte) {
  const std::string text =
      "a\xC3\xA9\xE2\x82\xAC\xED\x9F\xBF\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
  const std::wstring units = utf8_to_utf16(text);
  EXPECT_EQ(std::wstring(L"a\xE9\x20AC\xD7FF\xD83D\xDE00\xDBFF\xDFFF"), units);
  EXPECT_EQ(text, utf16_to_utf8(units.c_str()));
  EXPECT_EQ(L"a\xFFFD\xFFFD" L"b", utf8_to_utf16("a\xE2\x82" "b"));

  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {text, text},
      {"a\xC0\xAF" "b", "a" + r + r + "b"},  // overlong '/'
      {"\xE0\x80\xAF", r + r + r},          // overlong, 3 bytes
      {"\xF0\x8F\xBF\xBF", r + r + r + r},  // overlong, 4 bytes
      {"\xED\xA0\x80", r + r + r},          // surrogate D800
      // U+110000, and a lead byte that could only start one beyond it
      {"\xF4\x90\x80\x80", r + r + r + r}, {"\xF5\x80\x80\x80", r + r + r + r},
      {"x\xE2\x82", "x" + r + r},  // cut short at the end
      {"\x80\xFF", r + r},         // stray continuation; 0xFF never occurs
  };
  for (const auto& [in, sanitized] : cases) {
    EXPECT_EQ(in == sanitized, is_valid_utf8(in)) << sanitized;
    EXPECT_EQ(sanitized, sanitize_utf8(in));
  }
}
