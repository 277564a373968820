#include "websvcs/common/upload_log/log_collection.h"

#include <ace/Log_Msg.h>
#include <ace/OS_NS_time.h>

#include <sys/stat.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/regex.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "agent/clntio/log_transfer.h"
#include "agent/paths/path_conf.h"
#include "agent/pkgutil/host_info.h"
#include "agent/pkgutil/interface_info.h"
#include "agent/platform/files.h"
#include "mdrt/directory_iterator.h"

namespace wcommon {

namespace {

const char* const log_suffixes[] = {".log", ".stderr", "-access.log",
                                    "-monitor.log", "-monitor.stderr"};

// Compiled when the module is loaded and only read afterwards, by every
// upload at once.
const boost::regex log_name_filter(
    "^(veltrano-agent|veltrano-backupd|veltrano-storaged|upload).*");

const char REFERENCE_PREFIX[] = "kvrio";
const char WINAGENT_FOLDER[] = "$APPDATA\\veltran-winagent";
const char LOG_FOLDER[] = "$APPDATA\\quillon\\veltrano\\$COMPONENT\\log";

// printf-style into a string that grows until the text fits.
template <class... Args>
std::string format(const char* pattern, Args... args) {
  std::string text(128, '\0');
  for (;;) {
    const int n = std::snprintf(&text[0], text.size(), pattern, args...);
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < text.size()) {
      text.resize(static_cast<std::size_t>(n));
      return text;
    }
    text.resize(static_cast<std::size_t>(n) + 1);
  }
}

// Entries whose own type says they hold no file content (links are
// followed when the file is opened).
bool is_special(mode_t mode) {
  return S_ISFIFO(mode) || S_ISSOCK(mode) || S_ISCHR(mode) || S_ISBLK(mode);
}

std::string expand(const char* path_template) {
  return Path_Conf(path_template, false, nullptr, 0750).path();
}

}  // namespace

bool upload_component_logs(Client_IO& io, const char* base_template,
                           const std::string& type, const std::string& task_id) {
  json_spirit::Value info = json_spirit::Object();
  if (!host_info(info)) {
    ACE_DEBUG((LM_DEBUG, ACE_TEXT("Failed to get host info for upload log.\n")));
    info = json_spirit::Object();
  }
  std::string node;
  if (info.type() == json_spirit::obj_type)
    json_spirit::object_get(info.get_obj(), "nodename", node);
  std::string address;
  Network_Interface_Enumerator().get_local_addr(address);
  const int now = static_cast<int>(ACE_OS::time(nullptr));
  const std::string base = expand(base_template);

  for (const char* suffix : log_suffixes) {
    const std::string remote =
        format("%s/%s_%s/%d_%s%s.gz", task_id.c_str(), node.c_str(), address.c_str(),
               now, type.c_str(), suffix);
    const std::string local = format("%s%s", base.c_str(), suffix);
    if (!common::upload_log(io, remote.c_str(), local.c_str(), true)) return false;
  }
  const std::string prefix =
      format("%s/%s_%s", task_id.c_str(), node.c_str(), address.c_str());
  upload_directory(io, expand(WINAGENT_FOLDER), prefix, true);
  if (type == "agent") return upload_directory(io, expand(LOG_FOLDER), prefix, true);
  return true;
}

bool upload_directory(Client_IO& io, const std::string& folder,
                      const std::string& prefix, bool filter) {
  const Directory_Iterator_T<char> end;
  for (Directory_Iterator_T<char> it(folder.c_str(), false, 0); it != end; ++it) {
    const std::string& name = it->name;
    if (name == "." || name == "..") continue;
    if (filter && boost::regex_search(name, log_name_filter)) continue;
    const std::string local =
        format("%s%c%s", folder.c_str(), ACE_DIRECTORY_SEPARATOR_CHAR, name.c_str());
    if ((it->mode & 0xF000) == 0x4000) {
      if (!upload_directory(io, local, format("%s/%s", prefix.c_str(), name.c_str()),
                            false))
        return false;
      continue;
    }
    if (is_special(it->mode)) {
      // A FIFO, socket or device holds no log, and reading a FIFO would
      // wait for a writer for good.
      ACE_DEBUG((LM_WARNING, ACE_TEXT("%N:%l: %C is not a regular file, not uploaded\n"),
                 local.c_str()));
      continue;
    }
    const char* suffix = boost::algorithm::ends_with(name, ".gz") ? "" : ".gz";
    const std::string remote = format("%s/%s%s", prefix.c_str(), name.c_str(), suffix);
    if (name.compare(0, sizeof REFERENCE_PREFIX - 1, REFERENCE_PREFIX) == 0)
      upload_by_reference(io, remote.c_str(), local.c_str());
    else if (!common::upload_log(io, remote.c_str(), local.c_str(), false))
      return false;
  }
  return true;
}

bool upload_by_reference(Client_IO& io, const char* target, const char* origin) {
  if (!target || !*target) {
    ACE_DEBUG((LM_EMERGENCY,
               ACE_TEXT("Unexpected error in %N:%l, target is NULL or \"\":\n%?\n")));
    return false;
  }
  if (!origin || !*origin) {
    ACE_DEBUG((LM_EMERGENCY,
               ACE_TEXT("Unexpected error in %N:%l, origin is NULL or \"\":\n%?\n")));
    return false;
  }
  std::string content;
  if (!platform::read_file(origin, content, true)) {
    if (errno == EINVAL)
      ACE_DEBUG((LM_WARNING,
                 ACE_TEXT("%N:%l: reference %C is not a regular file, not read\n"),
                 origin));
    return false;
  }
  if (content.empty()) return false;
  return common::upload_log(io, target, content.c_str(), false);
}

}  // namespace wcommon
