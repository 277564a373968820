// A temporary directory removed with everything in it when the guard ends.
#ifndef TESTS_FAKES_TEMP_DIR_H
#define TESTS_FAKES_TEMP_DIR_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

class Temp_Dir {
 public:
  explicit Temp_Dir(const std::string& parent = default_parent()) {
#ifdef _WIN32
    // No mkdtemp: a random name, taken only when the folder is new.
    std::random_device random;
    for (int tries = 0; tries < 100 && path_.empty(); ++tries) {
      std::string name = parent + "/wagent-test-" + std::to_string(random());
      std::error_code error;
      if (std::filesystem::create_directory(std::filesystem::u8path(name), error)) path_ = name;
    }
#else
    std::string pattern = parent + "/wagent-test-XXXXXX";
    if (::mkdtemp(&pattern[0])) path_ = pattern;
#endif
  }
  ~Temp_Dir() {
    std::error_code ignored;  // symbolic links go, never what they point at
    if (!path_.empty()) std::filesystem::remove_all(std::filesystem::u8path(path_), ignored);
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
  static std::string default_parent() {
#ifdef _WIN32
    // UTF-8 with forward slashes, as the tests build paths.
    std::string temp = std::filesystem::temp_directory_path().generic_u8string();
    while (temp.size() > 3 && temp.back() == '/') temp.pop_back();
    return temp;
#else
    return "/tmp";
#endif
  }

  std::string path_;
};

#endif
