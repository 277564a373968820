// A temporary directory removed with everything in it when the guard ends.
#ifndef TESTS_FAKES_TEMP_DIR_H
#define TESTS_FAKES_TEMP_DIR_H

#include <ftw.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

class Temp_Dir {
 public:
  Temp_Dir() {
    char pattern[] = "/tmp/wagent-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path_ = made ? made : "";
  }
  ~Temp_Dir() {
    if (!path_.empty())
      ::nftw(path_.c_str(), remove_one, 16, FTW_DEPTH | FTW_PHYS);
  }
  Temp_Dir(const Temp_Dir&) = delete;
  Temp_Dir& operator=(const Temp_Dir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }
  // Writes a file below the directory and returns its path.
  std::string write(const std::string& name, const std::string& content) const {
    std::string p = *this / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }

 private:
  static int remove_one(const char* p, const struct stat*, int, struct FTW*) {
    return std::remove(p);
  }
  std::string path_;
};

#endif
