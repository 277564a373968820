// JSON values: kinds, text in and out through YAJL, and 64-bit integers.
#include <gtest/gtest.h>

#include <yajl/yajl_gen.h>

#include "agent/json_spirit/json_spirit.h"
#include "agent/mdrt/yajl_gen.h"

using namespace json_spirit;

namespace {

Value parse(const std::string& text) {
  Value v;
  std::string error;
  EXPECT_TRUE(read(text, v, &error)) << text << ": " << error;
  return v;
}

}  // namespace

TEST(JsonValue, KindCodesAreTheFixedOnes) {
  EXPECT_EQ(0, Value(Object()).type());
  EXPECT_EQ(1, Value(Array()).type());
  EXPECT_EQ(2, Value("x").type());
  EXPECT_EQ(5, Value(3).type());
  EXPECT_EQ(7, Value().type());
  EXPECT_EQ(bool_type, Value(true).type());
  EXPECT_EQ(real_type, Value(1.5).type());
  EXPECT_TRUE(Value::null.is_null());
}

TEST(JsonValue, CheckedAccessorsRefuseOtherKinds) {
  EXPECT_THROW(Value(1).get_str(), Type_Error);
  EXPECT_THROW(Value("1").get_int64(), Type_Error);
  EXPECT_THROW(Value().get_obj(), Type_Error);
  EXPECT_THROW(Value(-1).get_uint64(), Type_Error);
  EXPECT_DOUBLE_EQ(2.0, Value(2).get_real());
}

TEST(JsonValue, ObjectsComeOutInByteOrderOfKeys) {
  Value v = parse(R"({"b":1,"a":2,"B":3,"aa":4})");
  EXPECT_EQ(R"({"B":3,"a":2,"aa":4,"b":1})", JSON_Dump(v, false));
}

TEST(JsonValue, DuplicateKeysKeepTheLast) {
  EXPECT_EQ(R"({"a":2})", JSON_Dump(parse(R"({"a":1,"a":2})"), false));
}

TEST(JsonValue, SixtyFourBitIntegersSurviveBothWays) {
  const char* text =
      R"([9223372036854775807,-9223372036854775808,18446744073709551615])";
  Value v = parse(text);
  const Array& a = v.get_array();
  EXPECT_EQ(INT64_MAX, a[0].get_int64());
  EXPECT_EQ(INT64_MIN, a[1].get_int64());
  EXPECT_TRUE(a[2].is_uint64());
  EXPECT_EQ(UINT64_MAX, a[2].get_uint64());
  EXPECT_EQ(int_type, a[2].type());
  EXPECT_EQ(text, JSON_Dump(v, false));
  EXPECT_EQ(Value(5ULL), Value(5LL));
}

TEST(JsonValue, NumbersBeyondSixtyFourBitsBecomeReals) {
  Value v = parse("[1e3, 2.5, 99999999999999999999999]");
  EXPECT_EQ(real_type, v.get_array()[0].type());
  EXPECT_DOUBLE_EQ(2.5, v.get_array()[1].get_real());
  EXPECT_EQ(real_type, v.get_array()[2].type());
}

TEST(JsonValue, NestedRoundTrip) {
  const std::string text =
      R"({"a":[1,{"b":null,"c":[true,false]},"s"],"d":{},"e":[],"f":"\u00e9\n"})";
  Value v = parse(text);
  EXPECT_EQ(parse(JSON_Dump(v, false)), v);
  EXPECT_EQ(parse(JSON_Dump(v, true)), v);
  EXPECT_NE(JSON_Dump(v, true).find("\n    "), std::string::npos);
}

TEST(JsonValue, ScalarsAtTopLevel) {
  EXPECT_EQ(Value("x"), parse("\"x\""));
  EXPECT_EQ(Value(7), parse(" 7 "));
  EXPECT_TRUE(parse("null").is_null());
}

TEST(JsonValue, BadTextIsRefusedAndLeavesTheTargetAlone) {
  for (const char* bad : {"", "{", "[1,]", "{'a':1}", "nul", "{\"a\" 1}",
                          "1 2", "\"\xff\""}) {
    Value v("unchanged");
    std::string error;
    EXPECT_FALSE(read(bad, v, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
    EXPECT_EQ(Value("unchanged"), v) << bad;
  }
}

TEST(JsonValue, NestingAndRangeThatCouldNotBeWrittenBackAreRefused) {
  Value v;
  const std::string deepest = std::string(100, '[') + std::string(100, ']');
  EXPECT_TRUE(read(deepest, v));
  EXPECT_EQ(deepest, JSON_Dump(v, false));
  std::string error;
  EXPECT_FALSE(read("[" + deepest + "]", v, &error));
  EXPECT_NE(std::string::npos, error.find("nesting"));
  EXPECT_FALSE(read(std::string(100000, '['), v));
  EXPECT_FALSE(read("[1e999]", v));
}

TEST(JsonValue, GeneratesIntoAnyYajlGenerator) {
  YAJL_String_Printer printer;
  {
    YAJL_Gen g(yajl_gen_alloc_printer(&printer, nullptr, false, nullptr));
    Object o;
    o["k"] = Array{Value(1), Value("two"), Value()};
    EXPECT_EQ(yajl_gen_status_ok, yajl_gen_value(g, Value(o)));
  }
  EXPECT_EQ(R"({"k":[1,"two",null]})", printer.text);
}
