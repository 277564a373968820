// Loads the built module as the host does and checks its outward surface:
// every listed factory resolves, honours its deleter slot, hands back the
// deleter of its kind, and nothing else of the module's own is exported.
#include <gtest/gtest.h>

#include <ace/DLL.h>

#include <cstdio>
#include <fstream>
#include <set>
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
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Export e;
    fields >> e.name >> e.kind;
    out.push_back(e);
  }
  return out;
}

typedef void* (*Factory)(Object_Deleter*);

struct Counts {
  int fini = 0;
  int destroyed = 0;
};

class Counting_Handler : public JSON_RPC_Handler {
 public:
  explicit Counting_Handler(Counts& c) : counts(c) {}
  ~Counting_Handler() override { ++counts.destroyed; }
  int fini() override { ++counts.fini; return 0; }
  int handle_object(JSON_RPC_Channel_WPtr, JSON_RPC_Object_Ptr) override { return 0; }
  Counts& counts;
};

class Counting_Params_Creator : public JSON_RPC_Params_Handler_Creator {
 public:
  explicit Counting_Params_Creator(Counts& c) : counts(c) {}
  ~Counting_Params_Creator() override { ++counts.destroyed; }
  int fini() override { ++counts.fini; return 0; }
  YAJL_Handler* create(JSON_RPC_Channel_WPtr, JSON_RPC_Object_Ptr) override { return nullptr; }
  Counts& counts;
};

class Counting_HTTP_Creator : public Object_Creator_T<HTTP_Handler> {
 public:
  explicit Counting_HTTP_Creator(Counts& c) : counts(c) {}
  ~Counting_HTTP_Creator() override { ++counts.destroyed; }
  int fini() override { ++counts.fini; return 0; }
  HTTP_Handler* create() override { return nullptr; }
  void destroy(HTTP_Handler*) override {}
  Counts& counts;
};

class Counting_REST_Creator : public Object_Creator_T<JSON_RESTful_Handler> {
 public:
  explicit Counting_REST_Creator(Counts& c) : counts(c) {}
  ~Counting_REST_Creator() override { ++counts.destroyed; }
  int fini() override { ++counts.fini; return 0; }
  JSON_RESTful_Handler* create() override { return nullptr; }
  void destroy(JSON_RESTful_Handler*) override {}
  Counts& counts;
};

// Runs the module's deleter on an object of the test's own of the same
// base, so the calls it makes can be counted.
Counts run_deleter(const std::string& kind, Object_Deleter deleter) {
  Counts counts;
  if (kind == "handler") {
    JSON_RPC_Handler* h = new Counting_Handler(counts);
    deleter(h);
  } else if (kind == "params_creator") {
    JSON_RPC_Params_Handler_Creator* c = new Counting_Params_Creator(counts);
    deleter(c);
  } else if (kind == "rest_creator") {
    Object_Creator_T<JSON_RESTful_Handler>* c = new Counting_REST_Creator(counts);
    deleter(c);
  } else if (kind == "http_creator") {
    Object_Creator_T<HTTP_Handler>* c = new Counting_HTTP_Creator(counts);
    deleter(c);
  } else {
    ADD_FAILURE() << "no check for kind " << kind;
  }
  return counts;
}

class ModuleExports : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, dll.open(ACE_TEXT(WCOMMON_PATH))) << dll.error();
    exports = read_exports();
    ASSERT_FALSE(exports.empty());
  }
  ACE_DLL dll;
  std::vector<Export> exports;
};

}  // namespace

TEST_F(ModuleExports, EveryListedFactoryResolvesAndHonoursItsSlot) {
  for (const Export& e : exports) {
    SCOPED_TRACE(e.name);
    Factory make = reinterpret_cast<Factory>(dll.symbol(ACE_TEXT_CHAR_TO_TCHAR(e.name.c_str())));
    ASSERT_NE(nullptr, make);

    void* without_slot = make(nullptr);
    ASSERT_NE(nullptr, without_slot);

    Object_Deleter deleter = nullptr;
    void* with_slot = make(&deleter);
    ASSERT_NE(nullptr, with_slot);
    ASSERT_NE(nullptr, deleter);
    EXPECT_NE(without_slot, with_slot);

    deleter(with_slot);
    deleter(without_slot);
    deleter(nullptr);
  }
}

TEST_F(ModuleExports, DeletersCallFiniOnlyForCreators) {
  for (const Export& e : exports) {
    SCOPED_TRACE(e.name);
    Factory make = reinterpret_cast<Factory>(dll.symbol(ACE_TEXT_CHAR_TO_TCHAR(e.name.c_str())));
    ASSERT_NE(nullptr, make);
    Object_Deleter deleter = nullptr;
    void* object = make(&deleter);
    deleter(object);
    Counts counts = run_deleter(e.kind, deleter);
    EXPECT_EQ(1, counts.destroyed);
    EXPECT_EQ(e.kind == "handler" ? 0 : 1, counts.fini);
  }
}

TEST_F(ModuleExports, NothingElseOfTheModulesOwnIsExported) {
  std::string command = std::string("nm -D -C --defined-only ") + WCOMMON_PATH;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(nullptr, pipe);
  std::set<std::string> listed;
  for (const Export& e : exports) listed.insert(e.name);
  std::set<std::string> found;
  char buffer[4096];
  while (fgets(buffer, sizeof buffer, pipe)) {
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    // "<address> <type> <name>"
    std::size_t first = line.find(' ');
    if (first == std::string::npos || first + 3 > line.size()) continue;
    char type = line[first + 1];
    std::string name = line.substr(first + 3);
    if (type == 'A') continue;  // version node
    if (listed.count(name)) {
      found.insert(name);
      continue;
    }
    EXPECT_NE(std::string::npos, name.find("Object_Creator_T<HTTP_Handler>"))
        << "unexpected export: " << line;
  }
  EXPECT_EQ(0, pclose(pipe));
  EXPECT_EQ(listed, found);
}
