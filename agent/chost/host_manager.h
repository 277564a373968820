// The agent's identity: its UUID, the access key the management server gave
// it, the challenge it answers and its RSA key pair. Everything is kept under
// `$APPDATA/chost/` so it survives a restart; every call is safe from any
// thread.
#ifndef CHOST_HOST_MANAGER_H
#define CHOST_HOST_MANAGER_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "agent/platform/service_instance.h"

class Host_Manager : public Service_Instance_T<Host_Manager> {
 public:
  virtual ~Host_Manager();

  // The agent's own identifier (a UUID text), made at first start and kept.
  virtual std::string uuid() const = 0;

  // The current access key; empty when the agent holds none.
  virtual std::string access_key() const = 0;
  virtual std::size_t access_key_size() const = 0;
  // Stores `key` (an empty text clears it). It holds in memory at once;
  // false when it could not be kept on disk too (logged with the path).
  virtual bool access_key(const std::string& key) = 0;

  // Makes a new challenge: 32 random bytes as 64 lower-case hex digits and
  // its expiry as absolute POSIX time. True when both outputs were filled.
  virtual bool create_challenge(std::string& challenge, std::int64_t& expires) = 0;

  // The DER bytes of the agent's public key; empty when there is no key.
  virtual std::string public_key() const = 0;
};

extern template class Service_Instance_T<Host_Manager>;

// The process's own, made on first use over `$APPDATA/chost` (the host sets
// APPDATA before it loads the module); tests make their own over a temporary
// folder.
class File_Host_Manager : public Host_Manager {
 public:
  explicit File_Host_Manager(std::string folder);

  std::string uuid() const override;
  std::string access_key() const override;
  std::size_t access_key_size() const override;
  bool access_key(const std::string& key) override;
  bool create_challenge(std::string& challenge, std::int64_t& expires) override;
  std::string public_key() const override;

  const std::string& folder() const { return folder_; }

 private:
  // Identity (uuid, access key) lives in host_manager.cpp; key material
  // (challenge, RSA pair) in host_keys.cpp.
  void load_identity() const;
  void load_keys() const;

  std::string folder_;
  mutable std::mutex lock_;
  mutable bool identity_loaded_ = false;
  mutable std::string uuid_;
  mutable std::string access_key_;
  mutable bool keys_loaded_ = false;
  mutable std::string public_der_;
};

#endif
