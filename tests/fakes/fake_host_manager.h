// An identity held in memory. Stores of the access key are appended to
// `journal` (when set) as "access_key(KEY)", so a test can check their order
// against the other outside calls it records there.
#ifndef TESTS_FAKES_FAKE_HOST_MANAGER_H
#define TESTS_FAKES_FAKE_HOST_MANAGER_H

#include <mutex>
#include <string>
#include <vector>

#include "agent/chost/host_manager.h"

class Fake_Host_Manager : public Host_Manager {
 public:
  std::string uuid() const override { return uuid_text; }
  std::string access_key() const override {
    std::lock_guard<std::mutex> g(lock_);
    return key_;
  }
  std::size_t access_key_size() const override { return access_key().size(); }
  bool access_key(const std::string& key) override {
    std::lock_guard<std::mutex> g(lock_);
    key_ = key;
    if (journal) journal->push_back("access_key(" + key + ")");
    return true;
  }
  bool create_challenge(std::string& challenge, std::int64_t& expires) override {
    if (!challenge_made) return false;
    challenge = std::string(64, 'a');
    expires = 1700000300;
    return true;
  }
  std::string public_key() const override { return std::string(); }  // none made yet

  std::string uuid_text = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  bool challenge_made = true;
  std::vector<std::string>* journal = nullptr;

 private:
  mutable std::mutex lock_;
  std::string key_;
};

#endif
