// The host's configuration file: settings, static sessions and one service
// per line. Reading it checks every line, so a bad file stops the start
// before anything listens.
#ifndef WAGENT_CONFIG_H
#define WAGENT_CONFIG_H

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace wagent {

// "FILE:LINE: what is wrong"
class Config_Error : public std::runtime_error {
 public:
  explicit Config_Error(const std::string& what) : std::runtime_error(what) {}
};

enum Service_Kind { SERVICE_JSONRPC, SERVICE_PARAMS, SERVICE_REST, SERVICE_HTTP };

struct Service_Line {
  Service_Kind kind;
  std::vector<std::string> names;  // methods or one path
  std::string library;
  std::string factory;
  std::vector<std::string> args;
  std::string where;  // "FILE:LINE" for messages
};

struct Session_Line {
  std::string key;
  std::string uid;
  std::uint64_t perms;
  std::string where;
};

struct Config {
  std::string path;
  std::map<std::string, std::string> settings;
  // Where each setting was made ("FILE:LINE" or "-s KEY=VALUE").
  std::map<std::string, std::string> setting_where;
  std::vector<Session_Line> sessions;
  std::vector<Service_Line> services;

  // The setting, or `fallback` when the file does not set it.
  std::string get(const std::string& key, const std::string& fallback) const;
  // The place to name in a message about `key`: where it was set, else the
  // file.
  std::string where(const std::string& key) const;
};

// Splits a line on blanks; "..." groups (with \" and \\ inside). '#' outside
// quotes starts a comment. Throws Config_Error(where + ...) on an open quote.
std::vector<std::string> split_config_line(const std::string& line,
                                           const std::string& where);

Config parse_config(const std::string& text, const std::string& path);
Config load_config(const std::string& path);

// Applies "KEY=VALUE" from the command line over the file's settings.
void apply_override(Config& config, const std::string& assignment);

}  // namespace wagent

#endif
