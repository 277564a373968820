#include "agent/modsess/session.h"

bool Session::check_perms(std::uint64_t mask, bool flag) const {
  if (flag) return (perms_ & mask) != 0;
  return (perms_ & mask) == mask;
}

// Never destroyed: a request may still load a session during exit.
template <>
Session_Manager* default_service<Session_Manager>() {
  static Session_Manager* sessions = new Session_Manager;
  return sessions;
}
template class Service_Instance_T<Session_Manager>;

Session_Manager::~Session_Manager() {}

bool Session_Manager::add_session(const std::string& key,
                                  const std::string& uid,
                                  std::uint64_t perms) {
  if (key.empty()) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (sessions_.count(key)) return false;
  sessions_.emplace(key, Session_Ptr(new Session(key, uid, perms)));
  return true;
}

Session_Ptr Session_Manager::load_session(const std::string& key) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = sessions_.find(key);
  return it == sessions_.end() ? Session_Ptr() : it->second;
}

void Session_Manager::clear() {
  std::lock_guard<std::mutex> guard(lock_);
  sessions_.clear();
}
