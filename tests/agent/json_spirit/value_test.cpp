// JSON values: kinds, text in and out through YAJL, and 64-bit integers.
#include <gtest/gtest.h>

#include "agent/json_spirit/json_spirit.h"
#include "tests/fakes/json_print.h"

using namespace json_spirit;

TEST(JsonValue, AccessorsAreChecked) {
  EXPECT_THROW(Value(1).get_str(), Type_Error);
  EXPECT_THROW(Value("1").get_int64(), Type_Error);
  EXPECT_THROW(Value().get_obj(), Type_Error);
  EXPECT_THROW(Value(-1).get_uint64(), Type_Error);
}

TEST(JsonValue, TextRoundTripsWithKeysInByteOrder) {
  EXPECT_EQ(R"({"B":3,"a":2,"aa":4,"b":1})",
            JSON_Dump(parse_json(R"({"b":1,"a":2,"B":3,"aa":4})"), false));
  EXPECT_EQ(R"({"a":2})", JSON_Dump(parse_json(R"({"a":1,"a":2})"), false));
  EXPECT_EQ((std::vector<Value>{Value("x"), Value(7), Value()}),
            (std::vector<Value>{parse_json("\"x\""), parse_json(" 7 "), parse_json("null")}));
  const Value v = parse_json(
      R"({"a":[1,{"b":null,"c":[true,false]},"s"],"d":{},"e":[],"f":"\u00e9\n"})");
  EXPECT_EQ(parse_json(JSON_Dump(v, false)), v);
}

TEST(JsonValue, SixtyFourBitIntegersSurviveBothWaysAndLargerAreReals) {
  const char* text =
      R"([9223372036854775807,-9223372036854775808,18446744073709551615])";
  const Value v = parse_json(text);
  const Array& a = v.get_array();
  EXPECT_EQ(INT64_MAX, a[0].get_int64());
  EXPECT_EQ(INT64_MIN, a[1].get_int64());
  EXPECT_TRUE(a[2].is_uint64() && a[2].type() == int_type);
  EXPECT_EQ(UINT64_MAX, a[2].get_uint64());
  EXPECT_EQ(text, JSON_Dump(v, false));
  EXPECT_EQ(Value(5ULL), Value(5LL));
  const Array r = parse_json("[1e3, 2.5, 99999999999999999999999]").get_array();
  EXPECT_TRUE(r[0].type() == real_type && r[2].type() == real_type);
  EXPECT_DOUBLE_EQ(2.5, r[1].get_real());
}

TEST(JsonValue, BadTextAndTooDeepOrLargeTextAreRefusedLeavingTheTarget) {
  const std::string deepest = std::string(100, '[') + std::string(100, ']');
  EXPECT_EQ(deepest, JSON_Dump(parse_json(deepest), false));
  const std::string too_deep = "[" + deepest + "]";
  for (const std::string& bad : std::vector<std::string>{
           "", "{", "[1,]", "{'a':1}", "nul", "{\"a\" 1}", "1 2", "\"\xff\"",
           "[1e999]", too_deep, std::string(100000, '[')}) {
    Value v("unchanged");
    std::string error;
    EXPECT_TRUE(!read(bad, v, &error) && !error.empty() && v == Value("unchanged"))
        << bad.substr(0, 20);
    EXPECT_TRUE(bad != too_deep || error.find("nesting") != std::string::npos) << error;
  }
}

namespace {

// Collects compact text; drains into `drained` at a small size so that the
// draining itself is exercised.
struct Collect : Text_Out {
  Collect() { drain_at = 8; }
  bool drain() override {
    drained += text;
    text.clear();
    return !stop;
  }
  std::string drained;
  bool stop = false;
};

}  // namespace

TEST(JsonValue, CompactTextIsWhatTheGeneratorWritesAndRefusesWhatItRefuses) {
  Object o;
  o["esc"] = std::string("q\"b\\n\nr\rt\tf\fb\b\x01\x1f/\x7f\xc3\xa9", 21);
  o["num"] = Array{Value(0), Value(-7), Value(UINT64_MAX), Value(INT64_MIN),
                   Value(2.5), Value(3.0), Value(-1e300), Value(1e-7)};
  o["nest"] = Array{Value(Object{}), Value(Array{}), Value(), Value(true),
                    Value(false), Value(Object{{"", Value("")}})};
  const Value v(o);
  Collect c;
  ASSERT_TRUE(write_compact(v, c));
  EXPECT_EQ(JSON_Dump(v, false), c.drained + c.text);

  for (const Value& bad : {Value(std::string("\xff")), Value(1.0 / 0.0),
                           Value(Object{{"\xc0\x80", Value(1)}})}) {
    Collect refused;
    EXPECT_FALSE(write_compact(Value(Array{bad}), refused));
  }
  Collect stopped;
  stopped.stop = true;
  EXPECT_FALSE(write_compact(v, stopped));
}

// Only placeholders naming a binder change; a command's own braces (awk,
// shell, JSON) reach it byte for byte.
TEST(JsonValue, FormatReplacesOnlyPlaceholdersNamingABinderAndKeepsEveryOtherByte) {
  const Object binders{{"who", Value("me")}, {"n", Value(5)}, {"o", Value(Object{{"k", Value(1)}})},
                       {"path", Value("/d/{who}")}};
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {
      {"echo {who} {n} {o}", "echo me 5 {\"k\":1}"},
      {"awk 'BEGIN{if(1){print 1}}'", "awk 'BEGIN{if(1){print 1}}'"},
      {"{{who}} {{ }} }} {{", "{me} {{ }} }} {{"},
      {"{nobody} {} {who", "{nobody} {} {who"},
      {"}{who}{x{n}}", "}me{x5}"},
      {"run {path}", "run /d/{who}"},  // a value put in is not searched again
      {"", ""},
  };
  for (const auto& c : cases) {
    std::string text = c.text;
    format_str_by_obj(binders, text);
    EXPECT_EQ(c.expected, text) << c.text;
    text = c.text;
    format_str_by_obj(Object(), text);
    EXPECT_EQ(c.text, text);
  }
}

// Text taken as exact JSON is written out as stored, so everything taken
// must be JSON that read() takes too, and everything read() refuses must be
// refused here (it then goes the way of text that is no JSON).
TEST(JsonValue, ExactJSONIsStrictJSONThatReadTakesAsItIs) {
  const std::string deepest = std::string(100, '[') + std::string(100, ']');
  const std::string taken[] = {
      R"({"state":"running","progress":42})",
      " [1, -0.5e-3, true, false, null, {}, [], {\"\":\"\"}]\r\n\t",
      R"({"b":{"a":[{"x":"\"\\\/\b\f\n\r\t\u00e9\uD83D\uDE00"}]},"b":2})",
      "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"",
      "123456789012345678",
      "-12345678901234567890123",  // a real that a double holds
      "1e308",
      deepest,
      "0",
  };
  for (const std::string& text : taken) {
    EXPECT_TRUE(is_exact_json(text.data(), text.size())) << text.substr(0, 40);
    Value v;
    EXPECT_TRUE(read(text, v)) << text.substr(0, 40);
  }
  const std::string refused[] = {
      "", " ", "{", "[1,]", "{'a':1}", "nul", "{\"a\" 1}", "1 2", "[1e999]",
      "[" + deepest + "]", std::string(200, '['), "\"\xff\"", "\"\xc0\x80\"",
      "\"\xed\xa0\x80\"",      // a surrogate written as UTF-8
      R"("\uD800")", R"("\uDC00\uD800")", R"("\uD800\u0041")", R"("\u12G4")",
      "\"a\x01\"", "\"\\x\"", "[1]\f", "\v1", "01", "-", "1.", ".5", "1e", "+1",
      "[1]]", "{\"a\":1,}", "\"open", "[\"a\"\"b\"]", "truex", "{1:2}",
      std::string("[1,\0]", 5),
  };
  for (const std::string& text : refused)
    EXPECT_FALSE(is_exact_json(text.data(), text.size())) << text.substr(0, 40);
}
