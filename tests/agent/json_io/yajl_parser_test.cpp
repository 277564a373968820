// The strictness YAJL lacks: lone surrogate escapes, form feed and vertical
// tab between tokens, a string left open after the value. Every case is
// also fed in pieces, split at each byte and byte by byte, both with
// YAJL's UTF-8 check and without.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/json_spirit/json_spirit.h"
#include "agent/json_io/yajl_handler.h"

namespace {

// Keeps the strings and keys it is given; stops at `stop_at` when set.
struct Strings : YAJL_Handler {
  int handle_string_i(const char* t, unsigned long long l) override {
    seen.emplace_back(t, static_cast<std::size_t>(l));
    return seen.back() != stop_at;
  }
  int handle_map_key_i(const char* t, unsigned long long l) override {
    return handle_string_i(t, l);
  }
  std::vector<std::string> seen;
  std::string stop_at = "\x01";
};

struct Outcome {
  bool ok;
  std::string error;
  std::vector<std::string> seen;
};

// Parses `text` in pieces cut at `cuts` (ascending offsets).
Outcome parse(const std::string& text, const std::vector<std::size_t>& cuts, bool check_utf8) {
  Strings strings;
  YAJL_Parser parser(strings, check_utf8);
  std::size_t from = 0;
  bool ok = true;
  for (std::size_t i = 0; ok && i <= cuts.size(); ++i) {
    const std::size_t to = i < cuts.size() ? cuts[i] : text.size();
    ok = parser.feed(text.data() + from, to - from);
    from = to;
  }
  ok = ok && parser.complete();
  return {ok, ok ? "" : parser.error(), strings.seen};
}

// The whole text, then every split in two, then one byte at a time.
std::vector<std::vector<std::size_t>> every_split(std::size_t size) {
  std::vector<std::vector<std::size_t>> splits{{}};
  for (std::size_t at = 0; at <= size; ++at) splits.push_back({at});
  std::vector<std::size_t> bytes;
  for (std::size_t at = 1; at < size; ++at) bytes.push_back(at);
  splits.push_back(bytes);
  return splits;
}

const char lone_high[] = "lexical error: lone high surrogate in \\u escape inside string.";
const char lone_low[] = "lexical error: lone low surrogate in \\u escape inside string.";
const char bad_space[] =
    "lexical error: invalid char in json text, form feed and vertical tab are not whitespace.";

TEST(YAJL_Parser, LoneSurrogatesAndOtherWhitespaceAreErrorsWhereverTheTextIsCut) {
  const struct {
    std::string text;
    const char* error;  // null: valid
    std::vector<std::string> seen;
  } cases[] = {
      // Surrogate pairs and their neighbours decode as before.
      {R"("\ud83d\ude00")", nullptr, {"\xF0\x9F\x98\x80"}},
      {R"({"\uD83D\uDE00":"\udbff\udfff"})", nullptr, {"\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}},
      {R"(["\ud7ff\ue000\uffff\u0041"])", nullptr, {"\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF" "A"}},
      // A backslash that is itself escaped starts no escape.
      {R"(["\\ud800", "\\\ud83d\ude00", "\"\ud83d\ude00"])", nullptr,
       {"\\ud800", "\\\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80"}},
      // Escaped, form feed and vertical tab are a string's to hold.
      {R"(["\f\u000b\u000C"])", nullptr, {"\f\x0B\f"}},
      {" \t\r\n[ \"a\" ,\t{\"b\"\n:\r\"c\"} ]\r\n ", nullptr, {"a", "b", "c"}},
      // Lone halves, in values and keys.
      {R"("\ud800")", lone_high, {}},
      {R"(["abc\uDBFF"])", lone_high, {}},  // high at the end of a string
      {R"({"\ud800":1})", lone_high, {}},
      {R"("\ud800x")", lone_high, {}},
      {R"("\ud800\n")", lone_high, {}},
      {R"("\uD888\u1234")", lone_high, {}},  // then an escape that is not a low half
      {R"("\ud800\ud800")", lone_high, {}},
      {R"("\udc00")", lone_low, {}},
      {R"(["ok", "\uDFFF"])", lone_low, {"ok"}},
      {R"("\udc00\ud800")", lone_low, {}},  // a pair reversed
      // Form feed and vertical tab between tokens, before and after the value.
      {"[1,\f2]", bad_space, {}},
      {"{\"a\"\v:1}", bad_space, {"a"}},
      {"\v[]", bad_space, {}},
      {"[]\f", bad_space, {}},
      // The start of a string after the value, which YAJL took for the end.
      {"{} \"", "parse error: trailing garbage", {}},
      {"1 \"x", "parse error: trailing garbage", {}},
      // What YAJL refuses itself it still reports, before or inside an escape.
      {R"(["\ud8x0"])",
       "lexical error: invalid (non-hex) character occurs after '\\u' inside string.", {}},
      {R"([1 2, "\ud800"])", "parse error: after array element, I expect ',' or ']'", {}},
  };
  for (const auto& c : cases) {
    for (bool check_utf8 : {true, false}) {
      for (const auto& cuts : every_split(c.text.size())) {
        SCOPED_TRACE(c.text + (check_utf8 ? " checked" : " unchecked") + ", " +
                     std::to_string(cuts.size()) + " cuts from " +
                     (cuts.empty() ? "none" : std::to_string(cuts[0])));
        const Outcome o = parse(c.text, cuts, check_utf8);
        EXPECT_EQ(c.error == nullptr, o.ok);
        EXPECT_EQ(c.error ? c.error : "", o.error);
        EXPECT_EQ(c.seen, o.seen);  // a bad string never reaches the handler
      }
    }
  }
}

TEST(YAJL_Parser, TheFirstFaultInTheTextIsTheOneReportedAndItHolds) {
  // A handler that stops before the bad escape is what ended the parse.
  Strings strings;
  strings.stop_at = "stop";
  YAJL_Parser parser(strings);
  const std::string text = R"(["stop", "\udc00"])";
  EXPECT_FALSE(parser.feed(text.data(), text.size()));
  EXPECT_TRUE(parser.cancelled());

  // After a fault every later piece and the end are refused alike.
  Strings more;
  YAJL_Parser strict(more);
  EXPECT_TRUE(strict.feed("[\"\\ud800", 8));  // the low half may come next
  EXPECT_FALSE(strict.feed("\"", 1));
  EXPECT_EQ(lone_high, strict.error());
  EXPECT_FALSE(strict.cancelled());
  EXPECT_FALSE(strict.feed(",\"ok\"]", 6));
  EXPECT_FALSE(strict.complete());
  EXPECT_EQ(lone_high, strict.error());
  EXPECT_TRUE(more.seen.empty());
}

TEST(YAJL_Parser, ReadingAValueRefusesTheSameTexts) {
  for (const char* bad : {R"({"a":"\ud800"})", R"({"a":"\udfff"})", "{\"a\":1}\f", "[] \""}) {
    json_spirit::Value v("unchanged");
    std::string error;
    EXPECT_FALSE(json_spirit::read(bad, v, &error)) << bad;
    EXPECT_EQ(json_spirit::Value("unchanged"), v);
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
