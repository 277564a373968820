#include "agent/plugin/module_settings.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>

namespace plugin {

namespace {

std::mutex lock;

std::map<std::string, std::string>& settings() {
  static std::map<std::string, std::string> values;
  return values;
}

}  // namespace

void set_module_setting(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> guard(lock);
  settings()[key] = value;
}

std::string module_setting(const std::string& key, const std::string& fallback) {
  std::lock_guard<std::mutex> guard(lock);
  const auto found = settings().find(key);
  return found == settings().end() ? fallback : found->second;
}

unsigned long module_setting_number(const std::string& key, unsigned long fallback) {
  const std::string text = module_setting(key, "");
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || errno || *end || value == 0) return fallback;
  return value;
}

void clear_module_settings() {
  std::lock_guard<std::mutex> guard(lock);
  settings().clear();
}

}  // namespace plugin
