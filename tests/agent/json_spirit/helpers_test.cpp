// Member look-ups and placeholder formatting.
#include <gtest/gtest.h>

#include <tuple>

#include "agent/json_spirit/json_spirit.h"

using namespace json_spirit;

TEST(MemberLookup, TypedReadsAnswerOnlyForPresentMembersOfTheKind) {
  Value v;
  ASSERT_TRUE(read(R"({"s":"text","n":42,"o":{"x":1},"b":true,"a":[1]})", v));
  const Object& o = v.get_obj();
  // object_get_str and object_get_object answer through the handlers' tests.
  EXPECT_EQ("text", object_get_str_or_throw(o, "s"));
  EXPECT_THROW(object_get_str_or_throw(o, "missing"), std::exception);
  EXPECT_THROW(object_get_str_or_throw(o, "n"), std::exception);

  std::int64_t n = -1;
  std::string s = "default";
  bool b = false;
  // A miss keeps the default.
  EXPECT_FALSE(object_get(o, "missing", n) || object_get(o, "missing", s) ||
               object_get(o, "missing", b));
  EXPECT_EQ(std::make_tuple(-1, "default", false), std::make_tuple(n, s, b));
  EXPECT_TRUE(object_get(o, "n", n) && object_get(o, "s", s) && object_get(o, "b", b));
  EXPECT_EQ(std::make_tuple(42, "text", true), std::make_tuple(n, s, b));
  EXPECT_THROW(object_get(o, "s", n), std::exception);
  EXPECT_THROW(object_get(o, "n", s), std::exception);
}

TEST(FormatByObject, ReplacesNamedMembersOnceAndLeavesEverythingElse) {
  const struct { const char *text, *binders, *expected; } cases[] = {
      {"run {path} now", R"({"path":"/tmp/a.sh"})", "run /tmp/a.sh now"},
      {"n={n} b={b} x={x} o={o}", R"({"n":42,"b":true,"x":null,"o":{"k":[1]}})",
       R"(n=42 b=true x=null o={"k":[1]})"},
      {"{a}{a}", R"({"a":"a"})", "aa"},
      {"{missing} stays", R"({"a":"1"})", "{missing} stays"},
      {"{ {unclosed", "{}", "{ {unclosed"}, {"}", "{}", "}"}, {"", R"({"a":"1"})", ""},
      {"{{a}} {a} }}", R"({"a":"1"})", "{a} 1 }"},  // doubled braces are literal
      {"awk '{{print}}'", R"({"print":"x"})", "awk '{print}'"},
      {"{a}", R"({"a":"{b}","b":"no"})", "{b}"},  // no second scan
  };
  for (const auto& c : cases) {
    Value binders;
    ASSERT_TRUE(read(c.binders, binders));
    std::string out = c.text;
    format_str_by_obj(binders.get_obj(), out);
    EXPECT_EQ(c.expected, out) << c.text;
  }
}
