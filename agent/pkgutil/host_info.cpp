#include "agent/pkgutil/host_info.h"

#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "agent/mdrt/service_instance.h"

namespace {

System_Host_Info_Service system_service;
Service_Slot_T<Host_Info_Service> slot(&system_service);

// PRETTY_NAME of the os-release file, unquoted; "" when there is none.
std::string os_pretty_name() {
  for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      const std::string key = "PRETTY_NAME=";
      if (line.compare(0, key.size(), key) != 0) continue;
      std::string v = line.substr(key.size());
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') &&
          v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      return v;
    }
  }
  return std::string();
}

}  // namespace

bool host_info(json_spirit::Value& info) {
  return Host_Info_Service::instance()->host_info(info);
}

Host_Info_Service::~Host_Info_Service() {}

Host_Info_Service* Host_Info_Service::instance() { return slot.get(); }

Host_Info_Service* Host_Info_Service::instance(Host_Info_Service* r) {
  return slot.exchange(r ? r : &system_service);
}

bool System_Host_Info_Service::host_info(json_spirit::Value& info) {
  struct utsname u;
  if (::uname(&u) != 0) return false;
  json_spirit::Object o;
  o["nodename"] = u.nodename;
  o["sysname"] = u.sysname;
  o["release"] = u.release;
  o["version"] = u.version;
  o["machine"] = u.machine;
  o["os"] = os_pretty_name();
  long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus > 0) o["cpus"] = cpus;
  struct sysinfo si;
  if (::sysinfo(&si) == 0) {
    o["memory"] = static_cast<unsigned long long>(si.totalram) * si.mem_unit;
    o["uptime"] = static_cast<long long>(si.uptime);
  }
  info = std::move(o);
  return true;
}
