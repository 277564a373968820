#include "agent/chost/host_manager.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_unistd.h>

#include <cerrno>
#include <cstdio>

#include "agent/chost/host_id.h"
#include "agent/paths/path_conf.h"
#include "agent/text/uuid_text.h"
#include "agent/platform/files.h"
#include "agent/platform/platform.h"
#include "agent/text/string_checker.h"

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

}  // namespace

File_Host_Manager::File_Host_Manager(std::string folder)
    : folder_(std::move(folder)) {}

void File_Host_Manager::load_identity() const {
  if (identity_loaded_) return;
  identity_loaded_ = true;
  const std::string uuid_path = folder_ + "/" + UUID_FILE;
  unsigned char fresh[16];
  if (!platform::read_file(uuid_path, uuid_) || !is_valid_uuid(uuid_.c_str())) {
    uuid_.clear();
    if (!uuid_generate(fresh))
      ACE_ERROR((LM_ERROR, "%N:%l: no random source for the agent's UUID\n"));
    else
      uuid_ = uuid_binary_to_string(fresh);
    if (!uuid_.empty() && !platform::replace_file(uuid_path, uuid_, 0644))
      ACE_ERROR((LM_ERROR, "%N:%l: cannot keep the agent's UUID in %C, %m\n",
                 uuid_path.c_str()));
  }
  if (!platform::read_file(folder_ + "/" + ACCESS_KEY_FILE, access_key_))
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
  // The new key (or none) holds at once, whatever the disk does: a revoked
  // key must never go on being sent or served because its file could not
  // be removed.
  access_key_ = key;
  const std::string path = folder_ + "/" + ACCESS_KEY_FILE;
  // Without a key there is no file at all: nothing secret is left behind.
  const bool kept = key.empty()
                        ? ACE_OS::unlink(path.c_str()) == 0 || errno == ENOENT
                        : platform::replace_file(path, key, 0600);
  if (!kept)
    ACE_ERROR((LM_ERROR, "%N:%l: cannot %C the access key file %C, %m\n",
               key.empty() ? "remove" : "write", path.c_str()));
  return kept;
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
