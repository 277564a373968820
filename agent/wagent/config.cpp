#include "agent/wagent/config.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>

#include "agent/platform/files.h"

namespace wagent {

namespace {

const std::set<std::string>& known_settings() {
  static const std::set<std::string> keys = {
      "listen", "appdata", "component", "upstream", "upstream.session", "tls.ca_file",
      "power", "clock", "log", "http.body_limit", "http.timeout", "websocket.keepalive",
      "jsonrpc.open", "jsonrpc.admin", "jsonrpc.workers", "jsonrpc.queue", "jsonrpc.batch_max",
      "stop.timeout", "io.handler_limit",
      "storage.pools", "fs.list.page_ms", "execute.timeout", "execute.grace",
      "execute.max_output", "execute.require_sha256", "power.when_jobs_run"};
  return keys;
}

bool valid_setting(const std::string& key) {
  return known_settings().count(key) ||
         (key.size() == 7 && key.compare(0, 6, "drive.") == 0 &&
          std::isalpha(static_cast<unsigned char>(key[6])));
}

// Values with a fixed set of choices are checked while reading, so a typo
// cannot switch a dry-run host into touching the machine.
void check_setting(const std::string& key, const std::string& value,
                   const std::string& where) {
  if (!valid_setting(key))
    throw Config_Error(where + ": unknown setting '" + key + "'");
  if ((key == "power" || key == "clock") && value != "dry-run" &&
      value != "system")
    throw Config_Error(where + ": setting '" + key +
                       "' must be dry-run or system, not '" + value + "'");
  if (key == "execute.require_sha256" && value != "on" && value != "off")
    throw Config_Error(where + ": setting '" + key + "' must be on or off, not '" + value + "'");
  if (key == "power.when_jobs_run" && value != "allow" && value != "refuse")
    throw Config_Error(where + ": setting '" + key + "' must be allow or refuse, not '" +
                       value + "'");
}

std::uint64_t parse_mask(const std::string& text, const std::string& where) {
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 16);
  if (text.empty() || text[0] == '-' || errno || !end || *end)
    throw Config_Error(where + ": permission mask '" + text +
                       "' is not a hexadecimal number");
  return v;
}

Service_Line parse_service(Service_Kind kind,
                           const std::vector<std::string>& f,
                           const std::string& where) {
  if (f.size() < 3)
    throw Config_Error(where + ": '" + f[0] +
                       "' needs a name and a <library>:<factory>");
  Service_Line s;
  s.kind = kind;
  s.where = where;
  std::stringstream names(f[1]);
  for (std::string n; std::getline(names, n, ',');) {
    if (n.empty()) throw Config_Error(where + ": empty name in '" + f[1] + "'");
    s.names.push_back(n);
  }
  if (s.names.empty()) throw Config_Error(where + ": missing name");
  if ((kind == SERVICE_REST || kind == SERVICE_HTTP) &&
      (s.names.size() != 1 || s.names[0][0] != '/'))
    throw Config_Error(where + ": '" + f[0] +
                       "' needs one path starting with '/'");
  if (kind == SERVICE_PARAMS && s.names.size() != 1)
    throw Config_Error(where + ": 'params' takes one method");
  std::string::size_type colon = f[2].rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == f[2].size())
    throw Config_Error(where + ": '" + f[2] +
                       "' is not <library>:<factory>");
  s.library = f[2].substr(0, colon);
  s.factory = f[2].substr(colon + 1);
  s.args.assign(f.begin() + 3, f.end());
  return s;
}

}  // namespace

std::string Config::get(const std::string& key,
                        const std::string& fallback) const {
  auto it = settings.find(key);
  return it == settings.end() ? fallback : it->second;
}

std::string Config::where(const std::string& key) const {
  auto it = setting_where.find(key);
  return it == setting_where.end() ? path : it->second;
}

std::vector<std::string> split_config_line(const std::string& line,
                                           const std::string& where) {
  std::vector<std::string> fields;
  std::string::size_type i = 0;
  const std::string::size_type n = line.size();
  while (i < n) {
    while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    if (i >= n || line[i] == '#') break;
    std::string field;
    bool quoted_field = false;
    while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
      if (line[i] == '"') {
        quoted_field = true;
        ++i;
        bool closed = false;
        while (i < n) {
          if (line[i] == '\\' && i + 1 < n &&
              (line[i + 1] == '"' || line[i + 1] == '\\')) {
            field += line[i + 1];
            i += 2;
          } else if (line[i] == '"') {
            closed = true;
            ++i;
            break;
          } else {
            field += line[i++];
          }
        }
        if (!closed) throw Config_Error(where + ": unterminated quote");
      } else {
        field += line[i++];
      }
    }
    if (!field.empty() || quoted_field) fields.push_back(field);
  }
  return fields;
}

Config parse_config(const std::string& text, const std::string& path) {
  Config config;
  config.path = path;
  std::stringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string where = path + ":" + std::to_string(number);
    std::vector<std::string> f = split_config_line(line, where);
    if (f.empty()) continue;
    const std::string& kind = f[0];
    if (kind == "set") {
      if (f.size() != 3)
        throw Config_Error(where + ": 'set' needs a key and one value");
      check_setting(f[1], f[2], where);
      config.settings[f[1]] = f[2];
      config.setting_where[f[1]] = where;
    } else if (kind == "session") {
      if (f.size() != 4)
        throw Config_Error(where +
                           ": 'session' needs a key, a uid and a mask");
      config.sessions.push_back(
          Session_Line{f[1], f[2], parse_mask(f[3], where), where});
    } else if (kind == "jsonrpc") {
      config.services.push_back(parse_service(SERVICE_JSONRPC, f, where));
    } else if (kind == "params") {
      config.services.push_back(parse_service(SERVICE_PARAMS, f, where));
    } else if (kind == "rest") {
      config.services.push_back(parse_service(SERVICE_REST, f, where));
    } else if (kind == "http") {
      config.services.push_back(parse_service(SERVICE_HTTP, f, where));
    } else {
      throw Config_Error(where + ": unknown kind '" + kind + "'");
    }
  }
  return config;
}

Config load_config(const std::string& path) {
  std::string text;
  if (!platform::read_file(path, text))
    throw Config_Error(path + ": cannot read: " + std::strerror(errno));
  return parse_config(text, path);
}

void apply_override(Config& config, const std::string& assignment) {
  std::string::size_type eq = assignment.find('=');
  if (eq == std::string::npos || eq == 0)
    throw Config_Error("-s " + assignment + ": expected KEY=VALUE");
  std::string key = assignment.substr(0, eq);
  std::string value = assignment.substr(eq + 1);
  check_setting(key, value, "-s " + assignment);
  config.settings[key] = value;
  config.setting_where[key] = "-s " + assignment;
}

}  // namespace wagent
