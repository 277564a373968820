// Member look-ups and placeholder formatting.
#include <gtest/gtest.h>

#include "agent/json_spirit/json_spirit.h"

using namespace json_spirit;

namespace {

Object sample() {
  Value v;
  read(R"({"s":"text","n":42,"o":{"x":1},"b":true,"a":[1]})", v);
  return v.get_obj();
}

std::string format(const std::string& text, const std::string& binders) {
  Value b;
  EXPECT_TRUE(read(binders, b));
  std::string out = text;
  format_str_by_obj(b.get_obj(), out);
  return out;
}

}  // namespace

TEST(MemberLookup, StringAndObjectYieldNothingWhenMissingOrOfAnotherKind) {
  Object o = sample();
  ASSERT_NE(nullptr, object_get_str(o, "s"));
  EXPECT_EQ("text", *object_get_str(o, "s"));
  EXPECT_EQ(nullptr, object_get_str(o, "n"));
  EXPECT_EQ(nullptr, object_get_str(o, "missing"));
  EXPECT_EQ(nullptr, object_get_str(Value("not an object"), "s"));
  ASSERT_NE(nullptr, object_get_object(o, "o"));
  EXPECT_EQ(1u, object_get_object(o, "o")->size());
  EXPECT_EQ(nullptr, object_get_object(o, "a"));
  EXPECT_EQ(nullptr, object_get_object(Value(Array()), "o"));
}

TEST(MemberLookup, TypedReadsKeepTheDefaultWhenMissingAndThrowOnWrongKind) {
  Object o = sample();
  std::int64_t n = -1;
  EXPECT_FALSE(object_get(o, "missing", n));
  EXPECT_EQ(-1, n);
  EXPECT_TRUE(object_get(o, "n", n));
  EXPECT_EQ(42, n);
  EXPECT_THROW(object_get(o, "s", n), std::exception);

  std::string s = "default";
  EXPECT_FALSE(object_get(o, "missing", s));
  EXPECT_EQ("default", s);
  EXPECT_TRUE(object_get(o, "s", s));
  EXPECT_EQ("text", s);
  EXPECT_THROW(object_get(o, "n", s), std::exception);

  bool b = false;
  EXPECT_TRUE(object_get(o, "b", b));
  EXPECT_TRUE(b);
}

TEST(MemberLookup, OrThrowRefusesMissingAndNonStringMembers) {
  Object o = sample();
  EXPECT_EQ("text", object_get_str_or_throw(o, "s"));
  EXPECT_THROW(object_get_str_or_throw(o, "missing"), std::exception);
  EXPECT_THROW(object_get_str_or_throw(o, "n"), std::exception);
}

TEST(FormatByObject, ReplacesNamedMembers) {
  EXPECT_EQ("run /tmp/a.sh now",
            format("run {path} now", R"({"path":"/tmp/a.sh"})"));
  EXPECT_EQ("n=42 b=true x=null o={\"k\":[1]}",
            format("n={n} b={b} x={x} o={o}",
                   R"({"n":42,"b":true,"x":null,"o":{"k":[1]}})"));
  EXPECT_EQ("aa", format("{a}{a}", R"({"a":"a"})"));
}

TEST(FormatByObject, LeavesEverythingElseAlone) {
  EXPECT_EQ("{missing} stays", format("{missing} stays", R"({"a":"1"})"));
  EXPECT_EQ("{ {unclosed", format("{ {unclosed", R"({})"));
  EXPECT_EQ("}", format("}", R"({})"));
  EXPECT_EQ("", format("", R"({"a":"1"})"));
}

TEST(FormatByObject, DoubledBracesAreLiteral) {
  EXPECT_EQ("{a} 1 }", format("{{a}} {a} }}", R"({"a":"1"})"));
  EXPECT_EQ("awk '{print}'", format("awk '{{print}}'", R"({"print":"x"})"));
}

TEST(FormatByObject, ReplacedTextIsNotScannedAgain) {
  EXPECT_EQ("{b}", format("{a}", R"({"a":"{b}","b":"no"})"));
}
