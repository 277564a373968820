// The factory machinery the module test cannot reach: a throwing
// constructor and the HTTP creator's arguments.
#include <gtest/gtest.h>

#include <type_traits>

#include "agent/httpd/http_handler.h"
#include "agent/json_rpc/json_rpc_handler.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/object_creator_impl.h"

namespace {

class Throwing_Handler : public JSON_RPC_Handler {
 public:
  Throwing_Handler() { throw std::runtime_error("constructor failed"); }
  int handle_object(JSON_RPC_Channel_WPtr, JSON_RPC_Object_Ptr) override { return 0; }
};

class Plain_HTTP_Handler : public HTTP_Handler {
 public:
  int handle_request(HTTP_IO*) override { return 0; }
};
typedef Object_Creator_Impl_T<Object_Creator_T<HTTP_Handler>, Plain_HTTP_Handler> Creator;

}  // namespace

// Every exported factory has the one type the host calls it through.
WCOMMON_JSON_RPC_HANDLER_FACTORY(Throwing_Handler)
static_assert(std::is_same<decltype(&_make_Throwing_Handler),
                           Service_Object* (*)(Object_Deleter*)>::value,
              "a factory called through another type than its own");

TEST(Factory, SlotReceivesTheDeleterBeforeConstruction) {
  Object_Deleter slot = nullptr;
  EXPECT_THROW((wcommon::make_object<JSON_RPC_Handler, Throwing_Handler>(
                   &slot, &wcommon::delete_handler<JSON_RPC_Handler>)),
               std::runtime_error);
  EXPECT_EQ(&wcommon::delete_handler<JSON_RPC_Handler>, slot);
}

// The exported HTTP creator: the host calls init with its service arguments;
// nothing reads the copies, so what counts is that none leaks or dangles.
TEST(HttpCreator, InitTakesAnyArgumentsAndClearFreesThem) {
  Creator c;
  EXPECT_EQ(0, c.init(2, nullptr));  // a count without an array
  char a[] = "-x", b[] = "value";
  char* argv[] = {a, b};
  EXPECT_EQ(0, c.init(2, argv));
  EXPECT_EQ(0, c.init(2, argv));  // again: the first copies are let go
  EXPECT_EQ(0, c.fini());
  c.clear();  // and once more when it goes
}
