#include "agent/modsess/session.h"

#include "agent/mdrt/service_instance.h"

bool Session::check_perms(std::uint64_t mask, bool flag) const {
  if (flag) return (perms_ & mask) != 0;
  return (perms_ & mask) == mask;
}

namespace {
Session_Manager process_sessions;
Service_Slot_T<Session_Manager> session_slot(&process_sessions);
}  // namespace

Session_Manager* Session_Manager::instance() { return session_slot.get(); }

Session_Manager* Session_Manager::instance(Session_Manager* replacement) {
  return session_slot.exchange(replacement ? replacement : &process_sessions);
}

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
