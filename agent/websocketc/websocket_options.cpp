#include "agent/websocketc/websocket_options.h"

#include <cstdlib>

#include "agent/pkgutil/interface_info.h"

template <>
WebSocket_Options* default_service<WebSocket_Options>() {
  static WebSocket_Options* options = new WebSocket_Options;
  return options;
}
template class Service_Instance_T<WebSocket_Options>;

bool WebSocket_Options::set_url(const std::string& url) {
  bool tls;
  std::string rest;
  if (url.compare(0, 5, "ws://") == 0) {
    tls = false;
    rest = url.substr(5);
  } else if (url.compare(0, 6, "wss://") == 0) {
    tls = true;
    rest = url.substr(6);
  } else {
    return false;
  }
  std::string::size_type slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
  std::string host = authority;
  unsigned long port = tls ? 443 : 80;
  std::string::size_type colon = authority.rfind(':');
  std::string::size_type bracket = authority.rfind(']');
  if (colon != std::string::npos &&
      (bracket == std::string::npos || colon > bracket)) {
    host = authority.substr(0, colon);
    std::string digits = authority.substr(colon + 1);
    char* end = nullptr;
    port = std::strtoul(digits.c_str(), &end, 10);
    if (digits.empty() || *end || port == 0 || port > 65535) return false;
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  if (host.empty()) return false;

  std::lock_guard<std::mutex> guard(lock_);
  configured_ = true;
  host_ = host;
  port_ = static_cast<unsigned short>(port);
  tls_ = tls;
  path_ = path;
  // The node's address in log uploads is the one it reaches its server by.
  Network_Interface_Enumerator::set_peer(host_, port_);
  return true;
}

void WebSocket_Options::clear() {
  std::lock_guard<std::mutex> guard(lock_);
  configured_ = false;
  host_.clear();
  port_ = 0;
  tls_ = false;
  path_ = "/";
  Network_Interface_Enumerator::set_peer("", 0);
}

bool WebSocket_Options::configured() const {
  std::lock_guard<std::mutex> guard(lock_);
  return configured_;
}
std::string WebSocket_Options::host() const {
  std::lock_guard<std::mutex> guard(lock_);
  return host_;
}
unsigned short WebSocket_Options::port() const {
  std::lock_guard<std::mutex> guard(lock_);
  return port_;
}
bool WebSocket_Options::tls() const {
  std::lock_guard<std::mutex> guard(lock_);
  return tls_;
}
std::string WebSocket_Options::path() const {
  std::lock_guard<std::mutex> guard(lock_);
  return path_;
}
