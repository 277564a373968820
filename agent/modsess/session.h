// Sessions of signed-in users. A request carries a session key; the session
// service turns it into the user and the permission word it was given.
#ifndef MODSESS_SESSION_H
#define MODSESS_SESSION_H

#include <ace/Refcounted_Auto_Ptr.h>
#include <ace/Thread_Mutex.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "agent/platform/service_instance.h"

class Session {
 public:
  Session(const std::string& key, const std::string& uid, std::uint64_t perms)
      : key_(key), uid_(uid), perms_(perms) {}

  const std::string& key() const { return key_; }
  const std::string& uid() const { return uid_; }
  std::uint64_t perms() const { return perms_; }

  // True when every bit of `mask` is in the session's permission word. With
  // `flag` set, one common bit is enough.
  bool check_perms(std::uint64_t mask, bool flag) const;

 private:
  std::string key_;
  std::string uid_;
  std::uint64_t perms_;
};

typedef ACE_Refcounted_Auto_Ptr<Session, ACE_Thread_Mutex> Session_Ptr;

// Reached through instance(); the process's own starts without sessions.
class Session_Manager : public Service_Instance_T<Session_Manager> {
 public:
  virtual ~Session_Manager();

  // False when the key is empty or already taken.
  virtual bool add_session(const std::string& key, const std::string& uid,
                           std::uint64_t perms);
  // The session of `key`; an empty pointer when the key is unknown.
  virtual Session_Ptr load_session(const std::string& key);
  virtual void clear();

 private:
  std::mutex lock_;
  std::map<std::string, Session_Ptr> sessions_;
};

extern template class Service_Instance_T<Session_Manager>;

// The key of the local session. No shipped file may hold a usable key, so
// it is made at random at first start and kept in `path` (mode 0600, like
// the access key), where only the agent's own user can read it; later
// starts read it back. False with `error` saying what failed when the file
// cannot be read or made, holds no usable key, or is open to other users.
bool local_session_key(const std::string& path, std::string& key, std::string& error);

#endif
