#include "agent/modsess/session.h"


#include <cerrno>
#include <cstdio>
#include <cstring>

#include "agent/text/random_text.h"
#include "agent/platform/files.h"
#include "agent/platform/platform.h"

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

namespace {

// 32 random bytes, as hex: printable, and safe in a header or a query.
const std::size_t LOCAL_KEY_BYTES = 32;

// A key goes into a header or a query string: printable ASCII, no blanks.
bool usable_key(const std::string& key) {
  if (key.empty()) return false;
  for (unsigned char c : key)
    if (c <= 0x20 || c >= 0x7f) return false;
  return true;
}

}  // namespace

bool local_session_key(const std::string& path, std::string& key, std::string& error) {
  key.clear();
  int permissions = 0;
  if (!platform::file_permissions(path, permissions)) {
    if (errno != ENOENT) {
      error = path + ": " + std::strerror(errno);
      return false;
    }
    std::string made = random_hex(LOCAL_KEY_BYTES);
    if (made.empty()) {
      error = path + ": no random source to make a session key";
      return false;
    }
    if (!platform::replace_file(path, made + "\n", 0600)) {
      error = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    key.swap(made);
    return true;
  }
  if (permissions & 077) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(permissions));
    error = path + ": the session key file is open to other users (mode " + mode +
            "); make it 0600 or remove it to have a new key made";
    return false;
  }
  std::string text;
  if (!platform::read_file(path, text, true)) {
    error = path + ": " + (errno == EINVAL ? "not a regular file" : std::strerror(errno));
    return false;
  }
  if (!usable_key(text)) {
    error = path + ": holds no usable session key (printable, without blanks); "
                   "remove it to have a new key made";
    return false;
  }
  key.swap(text);
  return true;
}
