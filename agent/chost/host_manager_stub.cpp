// Stands in for the identity functions until they land; the key material
// lives in host_keys.cpp.
#include "agent/chost/host_manager.h"

#include <cstdlib>
#include <utility>

Host_Manager::~Host_Manager() {}

template <>
Host_Manager* default_service<Host_Manager>() {
  static File_Host_Manager manager(std::string(std::getenv("APPDATA")
                                                   ? std::getenv("APPDATA")
                                                   : ".") +
                                   "/chost");
  return &manager;
}

template class Service_Instance_T<Host_Manager>;

File_Host_Manager::File_Host_Manager(std::string folder)
    : folder_(std::move(folder)) {}

std::string File_Host_Manager::uuid() const {
  std::lock_guard<std::mutex> g(lock_);
  return uuid_;
}

std::string File_Host_Manager::access_key() const {
  std::lock_guard<std::mutex> g(lock_);
  return access_key_;
}

std::size_t File_Host_Manager::access_key_size() const {
  return access_key().size();
}

bool File_Host_Manager::access_key(const std::string& key) {
  std::lock_guard<std::mutex> g(lock_);
  access_key_ = key;
  return true;
}
