// A temporary directory removed with everything in it when the guard ends.
#ifndef TESTS_FAKES_TEMP_DIR_H
#define TESTS_FAKES_TEMP_DIR_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

class Temp_Dir {
 public:
  explicit Temp_Dir(const std::string& parent = "/tmp") {
    std::string pattern = parent + "/wagent-test-XXXXXX";
    if (::mkdtemp(&pattern[0])) path_ = pattern;
  }
  ~Temp_Dir() {
    std::error_code ignored;  // symbolic links go, never what they point at
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  Temp_Dir(const Temp_Dir&) = delete;
  Temp_Dir& operator=(const Temp_Dir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Writes a file below the directory and returns its path.
  std::string write(const std::string& name, const std::string& content) const {
    std::string p = *this / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }

 private:
  std::string path_;
};

#endif
