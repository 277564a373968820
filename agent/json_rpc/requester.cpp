#include "agent/json_rpc/requester.h"

#include "agent/modsess/session.h"
#include "agent/platform/addr_string.h"

namespace RPC {
namespace Service {

Requester::Requester(JSON_RPC_Channel& channel, JSON_RPC_Object& object, unsigned)
    : channel_(channel), object_(object) {}

void Requester::dump(json_spirit::Object& out) const {
  ACE_INET_Addr address;
  if (channel_.original_remote_addr(address) == 0)
    out["address"] = ACE_Addr_String(address, false).c_str();
  const std::string key = channel_.session_id();
  if (!key.empty()) {
    Session_Ptr session = Session_Manager::instance()->load_session(key);
    if (session.get()) out["user"] = session->uid();
  }
  if (const JSON_RPC_Request* r = dynamic_cast<const JSON_RPC_Request*>(&object_))
    out["method"] = r->method;
  if (!object_.id.is_null()) out["id"] = object_.id;
}

}  // namespace Service
}  // namespace RPC
