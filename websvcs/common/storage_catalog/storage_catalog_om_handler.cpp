#include "websvcs/common/storage_catalog/storage_catalog_om_handler.h"

#include <string>

#include "agent/text/string_checker.h"
#include "agent/storage_catalog/storage_catalog.h"
#include "websvcs/common/frame/factory.h"
#include "websvcs/common/frame/rest_reply.h"

namespace {

// The pool's UUID from the query, checked; null when a refusal was sent
// (its int in `rc`).
const std::string* checked_uuid(JSON_RESTful_Channel& channel,
                                const Parsed_Request& request, int& rc) {
  auto it = request.params.find("uuid");
  if (it == request.params.end()) {
    rc = channel.reply_status(400, -1, "Need 'uuid' in query string.");
    return nullptr;
  }
  const std::string& uuid = it->second;
  if (!uuid.empty() && !String_Checker::check(uuid, String_Checker::SC_HEX)) {
    rc = channel.reply_status(400, -1,
                              "Invalid 'uuid' value when checking with SC_HEX.");
    return nullptr;
  }
  if (!is_valid_uuid(uuid.c_str())) {
    rc = channel.reply_status(400, -1, ("Invalid uuid '" + uuid + "'").c_str());
    return nullptr;
  }
  return &uuid;
}

}  // namespace

JSON_RESTful_Storage_Catalog_OM_Handler::JSON_RESTful_Storage_Catalog_OM_Handler()
    : JSON_RESTful_Handler_Impl2(REST_ALL_BUT_REMOTE_ANONYMOUS, 0) {}

int JSON_RESTful_Storage_Catalog_OM_Handler::concurrency() { return 2; }

int JSON_RESTful_Storage_Catalog_OM_Handler::handle_get(JSON_RESTful_Channel& channel,
                                                        Parsed_Request& request) {
  int rc = 0;
  if (!wcommon::admit_user(channel, request, false, rc)) return rc;
  auto action = request.params.find("action");
  if (action == request.params.end())
    return channel.reply_status(400, -1, "Need 'action' in query string.");
  if (action->second == "resync_usage") return handle_resync_usage(channel, request);
  if (action->second == "show_pool") return handle_show_pool(channel, request);
  return channel.reply_status(403, -1, "Unsupported action");
}

int JSON_RESTful_Storage_Catalog_OM_Handler::handle_resync_usage(
    JSON_RESTful_Channel& channel, Parsed_Request& request) {
  int rc = 0;
  const std::string* uuid = checked_uuid(channel, request, rc);
  if (!uuid) return rc;
  // The resync runs later; the client gets the empty success answer.
  Storage_Catalog_Manager::instance()->schedule_resync_usage(*uuid);
  return 0;
}

int JSON_RESTful_Storage_Catalog_OM_Handler::handle_show_pool(
    JSON_RESTful_Channel& channel, Parsed_Request& request) {
  int rc = 0;
  const std::string* uuid = checked_uuid(channel, request, rc);
  if (!uuid) return rc;
  unsigned flags = 0;
  if (request.params.count("device")) flags |= Storage_Catalog_Manager::POOL_DEVICE;
  json_spirit::Object info;
  if (!Storage_Catalog_Manager::instance()->get_pool_info(*uuid, flags, info))
    return channel.reply_status(404, -1);
  return channel.reply_json(info);
}

WCOMMON_CREATOR_FACTORY(Object_Creator_T<JSON_RESTful_Handler>,
                        JSON_RESTful_Storage_Catalog_OM_Handler_Creator)
