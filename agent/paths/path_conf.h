// Path templates of the agent's own files, such as
// "$APPDATA\quillon\veltrano\$COMPONENT\log": the two names the host sets
// are replaced, the separators made native, and the folder is made when a
// caller asks.
#ifndef PATHS_PATH_CONF_H
#define PATHS_PATH_CONF_H

#include <string>

class Path_Conf {
 public:
  // Expands `path_template`. With `create`, the folder it names (and its
  // parents) is made with `mode` when missing. `file` (may be null) is
  // appended as the name of a file in that folder.
  Path_Conf(const char* path_template, bool create, const char* file,
            int mode);

  const std::string& path() const { return path_; }
  const char* c_str() const { return path_.c_str(); }
  // False when a name was not set, or the folder asked for could not be
  // made (errno tells why).
  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = true;
};

#endif
