#include "agent/chost/host_manager.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "agent/chost/host_id.h"
#include "agent/mdrt/path_conf.h"
#include "agent/platform/platform.h"
#include "agent/mdrt/string_checker.h"

Host_Manager::~Host_Manager() {}

template <>
Host_Manager* default_service<Host_Manager>() {
  static Host_Manager* manager =
      new File_Host_Manager(Path_Conf("$APPDATA\\chost", true, nullptr, 0750).path());
  return manager;
}
template class Service_Instance_T<Host_Manager>;

namespace {

const char UUID_FILE[] = "uuid";
const char ACCESS_KEY_FILE[] = "access_key";

// A random (version 4) UUID in its usual text.
std::string make_uuid() {
  std::random_device source;
  unsigned char b[16];
  for (unsigned char& c : b) c = static_cast<unsigned char>(source());
  b[6] = (b[6] & 0x0f) | 0x40;
  b[8] = (b[8] & 0x3f) | 0x80;
  char text[37];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-"
                "%02x%02x%02x%02x%02x%02x",
                b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9],
                b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

// The whole file; false when it cannot be read.
bool read_file(const std::string& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  out = text.str();
  return true;
}

}  // namespace

File_Host_Manager::File_Host_Manager(std::string folder)
    : folder_(std::move(folder)) {}

void File_Host_Manager::load_identity() const {
  if (identity_loaded_) return;
  identity_loaded_ = true;
  const std::string uuid_path = folder_ + "/" + UUID_FILE;
  if (!read_file(uuid_path, uuid_) || !is_valid_uuid(uuid_.c_str())) {
    uuid_ = make_uuid();
    if (!platform::replace_file(uuid_path, uuid_, 0644))
      ACE_ERROR((LM_ERROR, "%N:%l: cannot keep the agent's UUID in %C, %m\n",
                 uuid_path.c_str()));
  }
  if (!read_file(folder_ + "/" + ACCESS_KEY_FILE, access_key_))
    access_key_.clear();
}

std::string File_Host_Manager::uuid() const {
  std::lock_guard<std::mutex> guard(lock_);
  load_identity();
  return uuid_;
}

std::string File_Host_Manager::access_key() const {
  std::lock_guard<std::mutex> guard(lock_);
  load_identity();
  return access_key_;
}

std::size_t File_Host_Manager::access_key_size() const {
  std::lock_guard<std::mutex> guard(lock_);
  load_identity();
  return access_key_.size();
}

bool File_Host_Manager::access_key(const std::string& key) {
  std::lock_guard<std::mutex> guard(lock_);
  load_identity();
  const std::string path = folder_ + "/" + ACCESS_KEY_FILE;
  // Without a key there is no file at all: nothing secret is left behind.
  const bool kept = key.empty()
                        ? ACE_OS::unlink(path.c_str()) == 0 || errno == ENOENT
                        : platform::replace_file(path, key, 0600);
  if (!kept) {
    ACE_ERROR((LM_ERROR, "%N:%l: cannot keep the access key in %C, %m\n",
               path.c_str()));
    return false;
  }
  access_key_ = key;
  return true;
}

template <>
Host_ID* default_service<Host_ID>() {
  static Host_ID* id = new Host_ID;
  return id;
}
template class Service_Instance_T<Host_ID>;

Host_ID::~Host_ID() {}

const char* Host_ID::c_str() const {
  thread_local std::string text;
  text = Host_Manager::instance()->uuid();
  return text.c_str();
}
