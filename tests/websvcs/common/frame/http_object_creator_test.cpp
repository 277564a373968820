// The exported HTTP creator's copies of its service arguments.
#include <gtest/gtest.h>

#include <cstring>

#include "websvcs/common/frame/http_object_creator.h"

namespace {

class Creator : public Object_Creator_T<HTTP_Handler> {
 public:
  HTTP_Handler* create() override { return nullptr; }
  void destroy(HTTP_Handler*) override {}
};

}  // namespace

TEST(HttpCreator, NoArgumentsStoreNoArray) {
  Creator c;
  EXPECT_EQ(0, c.init(0, nullptr));
  EXPECT_EQ(0, c.argc());
  EXPECT_EQ(nullptr, c.argv());
}

TEST(HttpCreator, NullArgvKeepsTheCountButNoArray) {
  Creator c;
  EXPECT_EQ(0, c.init(2, nullptr));
  EXPECT_EQ(2, c.argc());
  EXPECT_EQ(nullptr, c.argv());
}

TEST(HttpCreator, KeepsIndependentCopies) {
  char a[] = "-x", b[] = "value", d[] = "--flag";
  char* argv[] = {a, b, d};
  Creator c;
  ASSERT_EQ(0, c.init(3, argv));
  std::strcpy(b, "CHANG");
  ASSERT_EQ(3, c.argc());
  EXPECT_STREQ("-x", c.argv()[0]);
  EXPECT_STREQ("value", c.argv()[1]);
  EXPECT_STREQ("--flag", c.argv()[2]);
  EXPECT_NE(argv[1], c.argv()[1]);
}

TEST(HttpCreator, SecondInitReplacesAndFiniKeeps) {
  char a[] = "one", b[] = "two";
  char* first[] = {a, b};
  char* second[] = {b};
  Creator c;
  ASSERT_EQ(0, c.init(2, first));
  ASSERT_EQ(0, c.init(1, second));
  ASSERT_EQ(1, c.argc());
  EXPECT_STREQ("two", c.argv()[0]);
  EXPECT_EQ(0, c.fini());
  EXPECT_EQ(0, c.fini());
  EXPECT_EQ(1, c.argc());
  c.clear();
  EXPECT_EQ(0, c.argc());
  EXPECT_EQ(nullptr, c.argv());
}
