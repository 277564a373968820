// The storage pools the agent keeps backups in: each has a UUID, a name and
// a path, and usage figures of the file system holding that path.
#ifndef STORAGE_CATALOG_STORAGE_CATALOG_H
#define STORAGE_CATALOG_STORAGE_CATALOG_H

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "agent/json_spirit/json_spirit.h"
#include "agent/platform/service_instance.h"

class Storage_Catalog_Manager
    : public Service_Instance_T<Storage_Catalog_Manager> {
 public:
  // Flags of get_pool_info.
  enum {
    POOL_DEVICE = 1,            // add "device": {"source", "mount_point", "type"}
    POOL_REPLICATE_TARGET = 2,  // reserved for replication targets
  };

  virtual ~Storage_Catalog_Manager();
  // Queues a refresh of the pool's usage figures; returns at once.
  virtual void schedule_resync_usage(const std::string& uuid) = 0;
  // Fills `info` with {"uuid", "name", "path", "total", "free", "used"}
  // (bytes, as of the last resync) and what `flags` ask for; false when
  // there is no such pool.
  virtual bool get_pool_info(const std::string& uuid, unsigned flags,
                             json_spirit::Object& info) = 0;
};

extern template class Service_Instance_T<Storage_Catalog_Manager>;

// Where the process's own catalog reads its pools; takes effect only before
// its first use. Default: $APPDATA/storage_catalog/pools.json.
void set_storage_pools_file(const std::string& path);

// Pools from a JSON file, an array of {"uuid", "name", "path"}, read at
// first use. A file that cannot be read as such is logged once and serves
// no pools. Resyncs run on one worker thread: a pool already waiting is not
// queued again, so a burst of requests for it costs one refresh.
class File_Storage_Catalog : public Storage_Catalog_Manager {
 public:
  explicit File_Storage_Catalog(std::string pools_file);
  ~File_Storage_Catalog() override;  // waits for a resync in progress
  File_Storage_Catalog(const File_Storage_Catalog&) = delete;
  File_Storage_Catalog& operator=(const File_Storage_Catalog&) = delete;

  void schedule_resync_usage(const std::string& uuid) override;
  bool get_pool_info(const std::string& uuid, unsigned flags,
                     json_spirit::Object& info) override;

  // Waits until nothing is queued or running.
  void wait_idle();
  // Refreshes done so far.
  unsigned long resyncs() const;

 private:
  struct Usage {
    std::uint64_t total = 0, free = 0, used = 0;
  };
  struct Pool {
    std::string uuid, name, path;  // as the file writes them
    Usage usage;
  };

  void load();  // under lock_
  void run();

  const std::string file_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool loaded_ = false;
  std::map<std::string, Pool> pools_;  // by lower-case UUID
  std::set<std::string> pending_;
  bool busy_ = false;
  bool stopping_ = false;
  unsigned long resyncs_ = 0;
  std::thread worker_;  // started by the first resync
};

#endif
