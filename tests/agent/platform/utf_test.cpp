// UTF-16 units (one per wchar_t) to and from UTF-8.
#include "agent/mdrt/utf.h"

#include <gtest/gtest.h>

TEST(Utf16ToUtf8, EncodesEachRangeWithItsByteCount) {
  EXPECT_EQ("abc", utf16_to_utf8(L"abc"));
  const wchar_t two[] = {0xE9, 0x7FF, 0};  // é, last 2-byte
  EXPECT_EQ("\xC3\xA9\xDF\xBF", utf16_to_utf8(two));
  const wchar_t three[] = {0x800, 0x20AC, 0xFFFF, 0};  // first 3-byte, €
  EXPECT_EQ("\xE0\xA0\x80\xE2\x82\xAC\xEF\xBF\xBF", utf16_to_utf8(three));
  EXPECT_EQ("", utf16_to_utf8(L""));
  EXPECT_EQ("", utf16_to_utf8(nullptr));
}

TEST(Utf16ToUtf8, CombinesSurrogatePairsIntoFourBytes) {
  const wchar_t emoji[] = {0xD83D, 0xDE00, 'x', 0};  // U+1F600
  EXPECT_EQ("\xF0\x9F\x98\x80x", utf16_to_utf8(emoji));
  const wchar_t highest[] = {0xDBFF, 0xDFFF, 0};  // U+10FFFF
  EXPECT_EQ("\xF4\x8F\xBF\xBF", utf16_to_utf8(highest));
  // Only the low 16 bits of a wchar_t are a unit.
  const wchar_t wide[] = {static_cast<wchar_t>(0x10041), 0};
  EXPECT_EQ("A", utf16_to_utf8(wide));
}

TEST(Utf16ToUtf8, StopsAtZeroOrLengthAndWritesALeadThereAlone) {
  const wchar_t lead_then_zero[] = {'a', 0xD800, 0, 0xDC00};
  EXPECT_EQ("a\xED\xA0\x80", utf16_to_utf8(lead_then_zero));
  // The unit past `length` is a valid trail, but must not be taken.
  const wchar_t pair[] = {0xD83D, 0xDE00};
  EXPECT_EQ("\xED\xA0\xBD", utf16_to_utf8(pair, 1));
  EXPECT_EQ("\xF0\x9F\x98\x80", utf16_to_utf8(pair, 2));
  // A lone trail has no lead to join and stands for itself.
  const wchar_t trail[] = {0xDC00, 0};
  EXPECT_EQ("\xED\xB0\x80", utf16_to_utf8(trail));

  const wchar_t text[] = {'a', 'b', 0, 'c'};
  EXPECT_EQ("ab", utf16_to_utf8(text, 4));
  EXPECT_EQ("a", utf16_to_utf8(text, 1));
  EXPECT_EQ("", utf16_to_utf8(text, 0));
}

TEST(Utf8ToUtf16, MakesSurrogatePairsReplacesBadBytesAndRoundTrips) {
  const std::string text =
      "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF";
  const std::wstring units = utf8_to_utf16(text);
  const std::wstring expected = {L'a',   0xE9,   0x20AC, 0xD83D,
                                 0xDE00, 0xDBFF, 0xDFFF};
  EXPECT_EQ(expected, units);
  EXPECT_EQ(text, utf16_to_utf8(units.c_str()));
  EXPECT_EQ(text, utf16_to_utf8(units.data(), units.size()));

  const std::wstring replaced = {L'a', 0xFFFD, 0xFFFD, L'b'};
  EXPECT_EQ(replaced, utf8_to_utf16(std::string("a\xE2\x82") + "b"));
  EXPECT_EQ(std::wstring(1, 0xFFFD), utf8_to_utf16("\xFF"));
}

TEST(Utf8Validation, RejectsMalformedSequences) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain \xC3\xA9 \xED\x9F\xBF \xF4\x8F\xBF\xBF"));
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(is_valid_utf8("\xE0\x80\xAF"));      // overlong, 3 bytes
  EXPECT_FALSE(is_valid_utf8("\xF0\x8F\xBF\xBF"));  // overlong, 4 bytes
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate D800
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // U+110000
  EXPECT_FALSE(is_valid_utf8("\xF5\x80\x80\x80"));
  EXPECT_FALSE(is_valid_utf8("\xE2\x82"));  // cut short at the end
  EXPECT_FALSE(is_valid_utf8("\x80"));      // stray continuation
}

TEST(Utf8Validation, SanitizeKeepsValidTextAndReplacesEachBadByte) {
  const std::string good = "ok \xE2\x82\xAC \xF0\x9F\x98\x80";
  EXPECT_EQ(good, sanitize_utf8(good));
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ("a" + fffd + fffd + "b",
            sanitize_utf8(std::string("a\xC0\xAF") + "b"));
  EXPECT_EQ(fffd + fffd + fffd, sanitize_utf8("\xED\xA0\x80"));
  EXPECT_EQ("x" + fffd + fffd, sanitize_utf8("x\xE2\x82"));
  EXPECT_TRUE(is_valid_utf8(sanitize_utf8("\xF4\x90\x80\x80\xFF")));
}
