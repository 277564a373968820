#include "agent/pkgutil/interface_info.h"

#include <mutex>
#include <vector>

#include "agent/platform/net_interfaces.h"

template <>
Interface_Info_Service* default_service<Interface_Info_Service>() {
  static System_Interface_Info_Service* service = new System_Interface_Info_Service;
  return service;
}
template class Service_Instance_T<Interface_Info_Service>;

bool interface_info(json_spirit::Array& list) {
  return Interface_Info_Service::instance()->interface_info(list);
}

Interface_Info_Service::~Interface_Info_Service() {}

bool System_Interface_Info_Service::interface_info(json_spirit::Array& list) {
  std::vector<platform::Net_Interface> found;
  if (!platform::list_interfaces(found)) return false;
  for (const platform::Net_Interface& i : found) {
    json_spirit::Array addresses;
    for (const platform::Net_Address& a : i.addresses)
      addresses.push_back(json_spirit::Object{
          {"family", a.ipv6 ? "ipv6" : "ipv4"},
          {"address", a.address},
          {"prefix", static_cast<std::int64_t>(a.prefix)}});
    json_spirit::Object o{{"name", i.name},
                          {"up", i.up},
                          {"loopback", i.loopback},
                          {"addresses", std::move(addresses)}};
    if (!i.mac.empty()) o["mac"] = i.mac;
    list.push_back(std::move(o));
  }
  return true;
}

namespace {
std::mutex peer_lock;
std::string peer_host;
unsigned short peer_port = 0;
}  // namespace

void Network_Interface_Enumerator::set_peer(const std::string& host,
                                            unsigned short port) {
  std::lock_guard<std::mutex> guard(peer_lock);
  peer_host = host;
  peer_port = port;
}

bool Network_Interface_Enumerator::get_local_addr(std::string& out) const {
  std::string host;
  unsigned short port;
  {
    std::lock_guard<std::mutex> guard(peer_lock);
    host = peer_host;
    port = peer_port;
  }
  return platform::local_address(host, port, out);
}
