#include "agent/paths/path_conf.h"

#include <cerrno>

#include "agent/platform/files.h"
#include "agent/platform/platform.h"
#include "agent/platform/process_env.h"

namespace {

// Replaces every `name` in `text` by the environment's value; false when
// the text names it and it is not set (or empty: the path would start at
// the root).
bool replace_name(std::string& text, const std::string& name) {
  std::string::size_type at = text.find(name);
  if (at == std::string::npos) return true;
  const std::string value = platform::get_environment(name.substr(1));
  if (value.empty()) return false;
  for (; at != std::string::npos; at = text.find(name, at + value.size()))
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
