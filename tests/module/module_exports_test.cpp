// Loads the built module as the host does and checks its outward surface:
// every listed factory resolves, honours its deleter slot and hands back the
// deleter of its kind.
#include <gtest/gtest.h>

#include <ace/DLL.h>

#include <fstream>
#include <sstream>
#include <string>

#include "websvcs/common/frame/http_object_creator.h"
#include "agent/json_rpc/json_rpc_handler.h"
#include "agent/plugin/object_creator.h"
#include "agent/restful/restful_handler.h"

namespace {

typedef void* (*Factory)(Object_Deleter*);

struct Counts {
  int fini = 0, destroyed = 0;
};

// Objects of the test's own with the module's bases, so the calls a
// module deleter makes can be counted.
template <class Base>
struct Counting : Base {
  explicit Counting(Counts& c) : counts(c) {}
  ~Counting() override { ++counts.destroyed; }
  int fini() override { ++counts.fini; return 0; }
  Counts& counts;
};
struct Counting_Handler : Counting<JSON_RPC_Handler> {
  using Counting::Counting;
  int handle_object(JSON_RPC_Channel_WPtr, JSON_RPC_Object_Ptr) override { return 0; }
};
struct Counting_Params_Creator : Counting<JSON_RPC_Params_Handler_Creator> {
  using Counting::Counting;
  YAJL_Handler* create(JSON_RPC_Channel_WPtr, JSON_RPC_Object_Ptr) override { return nullptr; }
};
template <class Handler>
struct Counting_Creator : Counting<Object_Creator_T<Handler>> {
  using Counting<Object_Creator_T<Handler>>::Counting;
  Handler* create() override { return nullptr; }
  void destroy(Handler*) override {}
};

// What `deleter` does to an object of the export's kind, passed as the
// base pointer the module hands out.
Counts run_deleter(const std::string& kind, Object_Deleter deleter) {
  Counts c;
  if (kind == "handler") {
    deleter(static_cast<JSON_RPC_Handler*>(new Counting_Handler(c)));
  } else if (kind == "params_creator") {
    deleter(static_cast<JSON_RPC_Params_Handler_Creator*>(new Counting_Params_Creator(c)));
  } else if (kind == "rest_creator") {
    deleter(static_cast<Object_Creator_T<JSON_RESTful_Handler>*>(
        new Counting_Creator<JSON_RESTful_Handler>(c)));
  } else if (kind == "http_creator") {
    deleter(static_cast<Object_Creator_T<HTTP_Handler>*>(new Counting_Creator<HTTP_Handler>(c)));
  } else {
    ADD_FAILURE() << "no check for kind " << kind;
  }
  return c;
}

}  // namespace

TEST(ModuleExports, EveryListedFactoryHonoursItsSlotAndDeletesAsItsKind) {
  ACE_DLL dll;
  ASSERT_EQ(0, dll.open(ACE_TEXT(WCOMMON_PATH))) << dll.error();
  std::ifstream list(WCOMMON_EXPORTS_LIST);
  int checked = 0;
  for (std::string line, name, kind; std::getline(list, line);) {
    if (!(std::istringstream(line) >> name >> kind) || name[0] == '#') continue;
    SCOPED_TRACE(name);
    ++checked;
    Factory make = reinterpret_cast<Factory>(dll.symbol(ACE_TEXT_CHAR_TO_TCHAR(name.c_str())));
    ASSERT_NE(nullptr, make);
    void* without_slot = make(nullptr);
    Object_Deleter deleter = nullptr;
    void* with_slot = make(&deleter);
    ASSERT_TRUE(without_slot && with_slot && deleter);
    EXPECT_NE(without_slot, with_slot);
    deleter(with_slot);
    deleter(without_slot);
    deleter(nullptr);
    // Creator deleters call fini once more first; handler deleters only
    // destroy.
    Counts counts = run_deleter(kind, deleter);
    EXPECT_EQ(1, counts.destroyed);
    EXPECT_EQ(kind == "handler" ? 0 : 1, counts.fini);
  }
  EXPECT_GT(checked, 0);
}
