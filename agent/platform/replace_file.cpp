#include "agent/platform/replace_file.h"

#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_unistd.h>

#include <cerrno>

namespace platform {

bool replace_file(const std::string& path, const std::string& content, int mode) {
  const std::string temp = path + ".tmp";
  ACE_OS::unlink(temp.c_str());
  ACE_HANDLE h = ACE_OS::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
  if (h == ACE_INVALID_HANDLE) return false;
  const bool written =
      ACE_OS::write(h, content.data(), content.size()) ==
          static_cast<ssize_t>(content.size()) &&
      ACE_OS::fsync(h) == 0;
  const int error = errno;
  ACE_OS::close(h);
  if (written && ACE_OS::rename(temp.c_str(), path.c_str()) == 0) return true;
  ACE_OS::unlink(temp.c_str());
  errno = written ? errno : error;
  return false;
}

}  // namespace platform
