// Loads the built module as the host does and checks its outward surface:
// every listed factory resolves, honours its deleter slot and hands back the
// deleter of its kind.
#include <gtest/gtest.h>

#include <ace/DLL.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "websvcs/common/frame/http_object_creator.h"
#include "agent/json_rpc/json_rpc_handler.h"
#include "agent/mdrt/object_creator.h"
#include "agent/restful/restful_handler.h"

namespace {

struct Export {
  std::string name;
  std::string kind;
};

std::vector<Export> read_exports() {
  std::vector<Export> out;
  std::ifstream in(WCOMMON_EXPORTS_LIST);
  for (std::string line; std::getline(in, line);)
    if (Export e; std::istringstream(line) >> e.name >> e.kind && e.name[0] != '#') out.push_back(e);
  return out;
}

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
  const std::vector<Export> exports = read_exports();
  ASSERT_FALSE(exports.empty());
  for (const Export& e : exports) {
    SCOPED_TRACE(e.name);
    Factory make = reinterpret_cast<Factory>(dll.symbol(ACE_TEXT_CHAR_TO_TCHAR(e.name.c_str())));
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
    Counts counts = run_deleter(e.kind, deleter);
    EXPECT_EQ(1, counts.destroyed);
    EXPECT_EQ(e.kind == "handler" ? 0 : 1, counts.fini);
  }
}
