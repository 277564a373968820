// The exported HTTP creator's copies of its service arguments.
#include <gtest/gtest.h>

#include <cstring>

#include "agent/httpd/http_handler.h"

namespace {

class Creator : public Object_Creator_T<HTTP_Handler> {
 public:
  HTTP_Handler* create() override { return nullptr; }
  void destroy(HTTP_Handler*) override {}
};

}  // namespace

TEST(HttpCreator, KeepsIndependentCopiesOfTheLastArguments) {
  Creator c;
  EXPECT_EQ(0, c.init(0, nullptr));
  EXPECT_EQ(nullptr, c.argv());
  EXPECT_EQ(0, c.init(2, nullptr));  // a count without an array stores none
  EXPECT_EQ(2, c.argc());
  EXPECT_EQ(nullptr, c.argv());

  char a[] = "-x", b[] = "value";
  char* argv[] = {a, b};
  ASSERT_EQ(0, c.init(2, argv));
  ASSERT_EQ(0, c.init(2, argv));  // again: the first copies are let go
  std::strcpy(b, "CHANG");
  ASSERT_EQ(2, c.argc());
  EXPECT_STREQ("-x", c.argv()[0]);
  EXPECT_STREQ("value", c.argv()[1]);
  EXPECT_EQ(0, c.fini());
  EXPECT_EQ(2, c.argc());
  c.clear();
  EXPECT_EQ(0, c.argc());
  EXPECT_EQ(nullptr, c.argv());
}
