#include "agent/pkgutil/host_info.h"

#include "agent/platform/platform.h"

template <>
Host_Info_Service* default_service<Host_Info_Service>() {
  static System_Host_Info_Service* service = new System_Host_Info_Service;
  return service;
}
template class Service_Instance_T<Host_Info_Service>;

bool host_info(json_spirit::Value& info) {
  return Host_Info_Service::instance()->host_info(info);
}

Host_Info_Service::~Host_Info_Service() {}

bool System_Host_Info_Service::host_info(json_spirit::Value& info) {
  json_spirit::Object o;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!described_) {
      platform::System_Description d;
      if (!platform::describe_system(d)) return false;
      fixed_["nodename"] = d.nodename;
      fixed_["sysname"] = d.sysname;
      fixed_["release"] = d.release;
      fixed_["version"] = d.version;
      fixed_["machine"] = d.machine;
      fixed_["os"] = d.os;
      if (d.cpus > 0) fixed_["cpus"] = d.cpus;
      if (d.memory > 0)
        fixed_["memory"] = static_cast<unsigned long long>(d.memory);
      described_ = true;
    }
    o = fixed_;
  }
  const std::int64_t uptime = platform::uptime_seconds();
  if (uptime >= 0) o["uptime"] = uptime;
  info = std::move(o);
  return true;
}
