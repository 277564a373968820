#include "agent/paths/path_conf.h"

#include <ace/OS_NS_stdlib.h>

#include <cerrno>
#include <cstring>

#include "agent/platform/files.h"
#include "agent/platform/platform.h"

namespace {

// Replaces every `name` in `text` by the environment's value; false when
// the text names it and it is not set.
bool replace_name(std::string& text, const std::string& name) {
  std::string::size_type at = text.find(name);
  if (at == std::string::npos) return true;
  const char* value = ACE_OS::getenv(name.c_str() + 1);
  if (!value) return false;
  for (; at != std::string::npos; at = text.find(name, at + std::strlen(value)))
    text.replace(at, name.size(), value);
  return true;
}

}  // namespace

Path_Conf::Path_Conf(const char* path_template, bool create, const char* file,
                     int mode)
    : path_(path_template ? path_template : "") {
  // A name left in would make a folder literally called "$APPDATA".
  ok_ = replace_name(path_, "$APPDATA") && replace_name(path_, "$COMPONENT");
  path_ = platform::native_separators(path_);
  if (!ok_) errno = ENOENT;
  else if (create) ok_ = platform::make_folders(path_, mode);
  // The file name is taken as given: only the template's separators change.
  if (file) path_ += platform::native_separators("\\") + file;
}
