#include "agent/storage_catalog/storage_catalog.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "agent/paths/app_data.h"
#include "agent/platform/files.h"
#include "agent/platform/mounts.h"
#include "agent/platform/platform.h"

namespace {

std::mutex file_lock;
std::string configured_file;

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The worker measures outside the lock, so a slow or dead mount holds up
// only its own resync; the first load measures once under it.
bool measure(const std::string& path, std::uint64_t& total,
             std::uint64_t& free) {
  FS_Stat s;
  if (!get_disk_free_space(path.c_str(), s)) return false;
  // A pool is written by the agent, which may use the reserved blocks
  // too; "used" then agrees with df.
  total = s.total_units * s.unit_size;
  free = (s.free_units_all ? s.free_units_all : s.free_units) * s.unit_size;
  return true;
}

}  // namespace

template <>
Storage_Catalog_Manager* default_service<Storage_Catalog_Manager>() {
  static File_Storage_Catalog* catalog = [] {
    std::lock_guard<std::mutex> g(file_lock);
    std::string file = configured_file;
    if (file.empty()) {
      const Path_Conf where = app_data(App_Data::STORAGE_CATALOG, "pools.json");
      file = where.path();
      // Without $APPDATA the pools are looked for below the working folder.
      if (!where.ok()) file.replace(0, std::strlen("$APPDATA"), ".");
    }
    return new File_Storage_Catalog(file);
  }();
  return catalog;
}
template class Service_Instance_T<Storage_Catalog_Manager>;

void set_storage_pools_file(const std::string& path) {
  std::lock_guard<std::mutex> g(file_lock);
  configured_file = path;
}

Storage_Catalog_Manager::~Storage_Catalog_Manager() {}

File_Storage_Catalog::File_Storage_Catalog(std::string pools_file)
    : file_(std::move(pools_file)) {}

File_Storage_Catalog::~File_Storage_Catalog() {
  {
    std::lock_guard<std::mutex> g(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void File_Storage_Catalog::load() {
  if (loaded_) return;
  loaded_ = true;
  std::string text;
  if (!platform::read_file(file_, text)) {
    ACE_DEBUG((LM_NOTICE, ACE_TEXT("%N:%l: no storage pools: cannot open %C: %m\n"),
               file_.c_str()));
    return;
  }
  json_spirit::Value v;
  std::string why;
  std::map<std::string, Pool> pools;
  if (!json_spirit::read(text, v, &why)) {
    if (why.empty()) why = "not JSON";
  } else if (v.type() != json_spirit::array_type) {
    why = "not an array of pools";
  } else {
    for (const json_spirit::Value& p : v.get_array()) {
      const std::string* uuid = json_spirit::object_get_str(p, "uuid");
      const std::string* name = json_spirit::object_get_str(p, "name");
      const std::string* path = json_spirit::object_get_str(p, "path");
      if (!uuid || !name || !path) {
        why = "a pool needs \"uuid\", \"name\" and \"path\" as strings";
        break;
      }
      pools[lower(*uuid)] = Pool{*uuid, *name, *path, Usage()};
    }
  }
  // All or nothing: serving half a catalog would hide the mistake.
  if (!why.empty()) {
    ACE_ERROR((LM_ERROR, ACE_TEXT("%N:%l: no storage pools: %C is malformed (%C)\n"),
               file_.c_str(), why.c_str()));
    return;
  }
  for (auto& p : pools) {
    Usage& u = p.second.usage;
    if (measure(p.second.path, u.total, u.free)) u.used = u.total - u.free;
  }
  pools_.swap(pools);
}

void File_Storage_Catalog::schedule_resync_usage(const std::string& uuid) {
  {
    std::lock_guard<std::mutex> g(lock_);
    load();
    const std::string key = lower(uuid);
    if (stopping_ || !pools_.count(key)) return;
    pending_.insert(key);
    if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
  }
  changed_.notify_all();
}

void File_Storage_Catalog::run() {
  std::unique_lock<std::mutex> g(lock_);
  for (;;) {
    changed_.wait(g, [this] { return stopping_ || !pending_.empty(); });
    if (stopping_) return;
    const std::string uuid = *pending_.begin();
    pending_.erase(pending_.begin());
    const std::string path = pools_.at(uuid).path;
    busy_ = true;
    g.unlock();
    Usage u;
    bool ok = measure(path, u.total, u.free);
    if (!ok)
      ACE_ERROR((LM_WARNING, ACE_TEXT("%N:%l: cannot resync pool %C at %C: %m\n"),
                 uuid.c_str(), path.c_str()));
    g.lock();
    if (ok) {
      u.used = u.total - u.free;
      pools_.at(uuid).usage = u;
    }
    busy_ = false;
    ++resyncs_;
    changed_.notify_all();
  }
}

void File_Storage_Catalog::wait_idle() {
  std::unique_lock<std::mutex> g(lock_);
  changed_.wait(g, [this] { return stopping_ || (pending_.empty() && !busy_); });
}

unsigned long File_Storage_Catalog::resyncs() const {
  std::lock_guard<std::mutex> g(lock_);
  return resyncs_;
}

bool File_Storage_Catalog::get_pool_info(const std::string& uuid,
                                         unsigned flags,
                                         json_spirit::Object& info) {
  std::string path;
  {
    std::lock_guard<std::mutex> g(lock_);
    load();
    auto it = pools_.find(lower(uuid));
    if (it == pools_.end()) return false;
    const Pool& p = it->second;
    path = p.path;
    info["uuid"] = p.uuid;
    info["name"] = p.name;
    info["path"] = p.path;
    info["total"] = static_cast<unsigned long long>(p.usage.total);
    info["free"] = static_cast<unsigned long long>(p.usage.free);
    info["used"] = static_cast<unsigned long long>(p.usage.used);
  }
  platform::Mount_Info m;
  if ((flags & POOL_DEVICE) && platform::mount_of(path, m))
    info["device"] = json_spirit::Object{{"source", m.source},
                                         {"mount_point", m.mount_point},
                                         {"type", m.type}};
  return true;
}
