#include "agent/wagent/settings.h"

#include <ace/OS_NS_unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "agent/json_rpc/json_rpc_dispatcher.h"

namespace wagent {

namespace {

unsigned long positive_number(const Config& config, const std::string& key,
                              unsigned long fallback) {
  std::string text = config.get(key, "");
  if (text.empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text.c_str(), &end, 10);
  if (errno || *end || v == 0 || text[0] == '-')
    throw Config_Error(config.where(key) + ": setting '" + key +
                       "' must be a positive number, not '" + text + "'");
  return v;
}

// A number that may be 0.
unsigned long long count_setting(const Config& config, const std::string& key,
                                 unsigned long long fallback) {
  std::string text = config.get(key, "");
  if (text.empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno || *end || !std::isdigit(static_cast<unsigned char>(text[0])))
    throw Config_Error(config.where(key) + ": setting '" + key +
                       "' must be a number of 0 or more, not '" + text + "'");
  return v;
}

std::chrono::seconds seconds_setting(const Config& config, const std::string& key,
                                     std::chrono::seconds fallback) {
  return std::chrono::seconds(positive_number(config, key, fallback.count()));
}

tcp::endpoint listen_endpoint(const Config& config, const std::string& text) {
  const std::string bad = config.where("listen") +
                          ": setting 'listen' must be a numeric address and "
                          "port, not '" + text + "'";
  std::string::size_type colon = text.rfind(':');
  if (colon == std::string::npos) throw Config_Error(bad);
  std::string host = text.substr(0, colon);
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  std::string port = text.substr(colon + 1);
  char* end = nullptr;
  unsigned long p = std::strtoul(port.c_str(), &end, 10);
  beast::error_code ec;
  net::ip::address address = net::ip::make_address(host, ec);
  if (ec || port.empty() || *end || p > 65535) throw Config_Error(bad);
  return tcp::endpoint(address, static_cast<unsigned short>(p));
}

// A METHOD[,METHOD...] setting; `star` lets "*" stand for every method.
std::vector<std::string> method_list(const Config& config, const std::string& key,
                                     const std::string& fallback, bool star) {
  const std::string text = config.get(key, fallback);
  std::vector<std::string> methods;
  for (std::string::size_type start = 0; start <= text.size();) {
    std::string::size_type comma = std::min(text.find(',', start), text.size());
    methods.push_back(text.substr(start, comma - start));
    if (methods.back().empty() || (!star && methods.back() == "*"))
      throw Config_Error(config.where(key) + ": setting '" + key +
                         "' must be METHOD[,METHOD...]" + (star ? " or *" : "") +
                         ", not '" + text + "'");
    start = comma + 1;
  }
  return methods;
}

std::string directory_of(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? "." : parent.string();
}

}  // namespace

bool is_rooted(const std::string& path) {
  const std::filesystem::path given(path);
  return given.has_root_directory() || given.is_absolute();
}

std::string absolute_path(const std::string& path) {
  if (is_rooted(path)) return path;
  std::error_code error;
  const std::string base = std::filesystem::current_path(error).string();
  if (error) return path;
  return path == "." ? base : base + "/" + (path.compare(0, 2, "./") == 0 ? path.substr(2) : path);
}

Host_Settings read_settings(const Config& config) {
  Host_Settings s;
  s.listen_text = config.get("listen", "127.0.0.1:8580");
  s.listen_where = config.where("listen");
  s.listen = listen_endpoint(config, s.listen_text);
  s.appdata = absolute_path(config.get("appdata", "./var"));
  s.component = config.get("component", s.component);
  s.log = config.get("log", s.log);
  s.log_where = config.where("log");
  // The values of clock and power were checked when the file was read.
  s.clock_system = config.get("clock", "dry-run") == "system";
  s.power_system = config.get("power", "dry-run") == "system";
  for (const auto& setting : config.settings)
    if (setting.first.compare(0, 6, "drive.") == 0)
      s.drives.push_back({setting.first[6], setting.second, config.where(setting.first)});
  s.open_methods = method_list(config, "jsonrpc.open", "host.info,host.test", true);
  s.admin_methods = method_list(config, "jsonrpc.admin",
                                JSON_RPC_Dispatcher::DEFAULT_ADMIN_METHODS, false);
  s.upstream = config.get("upstream", "");
  s.upstream_where = config.where("upstream");
  s.upstream_session = config.get("upstream.session", "");
  s.ca_file = config.get("tls.ca_file", "");
  if (!s.ca_file.empty() && ACE_OS::access(s.ca_file.c_str(), R_OK) != 0)
    throw Config_Error(config.where("tls.ca_file") + ": setting 'tls.ca_file': cannot read '" +
                       s.ca_file + "': " + std::strerror(errno));
  // Like libraries, a relative pools file is relative to the configuration.
  const std::string pools = config.get("storage.pools", "");
  if (!pools.empty())
    s.storage_pools = is_rooted(pools) ? pools : directory_of(config.path) + "/" + pools;
  s.workers = positive_number(config, "jsonrpc.workers", 0);
  s.queue = positive_number(config, "jsonrpc.queue", 0);
  s.batch_max = positive_number(config, "jsonrpc.batch_max",
                                JSON_RPC_Dispatcher::DEFAULT_BATCH_MAX);
  s.stop_timeout = seconds_setting(config, "stop.timeout", s.stop_timeout);
  s.body_limit = positive_number(config, "http.body_limit", s.body_limit);
  s.http_timeout = seconds_setting(config, "http.timeout", s.http_timeout);
  s.keepalive = seconds_setting(config, "websocket.keepalive", s.keepalive);
  s.handler_limit = positive_number(config, "io.handler_limit", s.handler_limit);
  // A page of fs.list ends once it has taken this long (milliseconds).
  if (!config.get("fs.list.page_ms", "").empty())
    s.module_settings.emplace_back(
        "fs.list.page_ms", std::to_string(positive_number(config, "fs.list.page_ms", 0)));
  if (s.handler_limit > Host_Settings::default_handler_limit)
    throw Config_Error(config.where("io.handler_limit") +
                       ": setting 'io.handler_limit' must be at most " +
                       std::to_string(Host_Settings::default_handler_limit));
  // Bounded so that a deadline a timeout makes stays far from overflow.
  const unsigned long long ten_years = 10ull * 366 * 86400;
  for (const auto& [key, value] :
       {std::make_pair("execute.timeout", &s.execute_timeout),
        std::make_pair("execute.grace", &s.execute_grace)}) {
    const unsigned long long n = count_setting(config, key, value->count());
    if (n > ten_years)
      throw Config_Error(config.where(key) + ": setting '" + key + "' must be at most " +
                         std::to_string(ten_years) + " seconds");
    *value = std::chrono::seconds(static_cast<long long>(n));
  }
  s.execute_max_output = positive_number(config, "execute.max_output", s.execute_max_output);
  s.execute_require_sha256 = config.get("execute.require_sha256", "off") == "on";
  s.power_refused_while_jobs_run = config.get("power.when_jobs_run", "allow") == "refuse";
  return s;
}

}  // namespace wagent
