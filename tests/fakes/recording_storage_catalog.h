// A storage catalog that records each call as text ("resync(UUID)",
// "pool(UUID,FLAGS)") and answers get_pool_info from `pools`.
#ifndef TESTS_FAKES_RECORDING_STORAGE_CATALOG_H
#define TESTS_FAKES_RECORDING_STORAGE_CATALOG_H

#include <map>
#include <string>
#include <vector>

#include "agent/storage_catalog/storage_catalog.h"

class Recording_Storage_Catalog : public Storage_Catalog_Manager {
 public:
  void schedule_resync_usage(const std::string& uuid) override {
    calls.push_back("resync(" + uuid + ")");
  }
  bool get_pool_info(const std::string& uuid, unsigned flags,
                     json_spirit::Object& info) override {
    calls.push_back("pool(" + uuid + "," + std::to_string(flags) + ")");
    auto it = pools.find(uuid);
    if (it == pools.end()) return false;
    info = it->second;
    return true;
  }
  std::map<std::string, json_spirit::Object> pools;
  std::vector<std::string> calls;
};

#endif
