#ifndef WCOMMON_STORAGE_CATALOG_OM_HANDLER_H
#define WCOMMON_STORAGE_CATALOG_OM_HANDLER_H

#include "agent/restful/restful_handler.h"
#include "websvcs/common/frame/object_creator_impl.h"

// GET ?action=resync_usage|show_pool&uuid=...[&device]: operations on one
// storage pool for a signed-in user.
class JSON_RESTful_Storage_Catalog_OM_Handler : public JSON_RESTful_Handler_Impl2 {
 public:
  JSON_RESTful_Storage_Catalog_OM_Handler();
  int concurrency() override;
  int handle_get(JSON_RESTful_Channel& channel,
                 Parsed_Request& request) override;
  int handle_resync_usage(JSON_RESTful_Channel& channel,
                          Parsed_Request& request);
  int handle_show_pool(JSON_RESTful_Channel& channel,
                       Parsed_Request& request);
};

typedef Object_Creator_Impl_T<Object_Creator_T<JSON_RESTful_Handler>,
                              JSON_RESTful_Storage_Catalog_OM_Handler>
    JSON_RESTful_Storage_Catalog_OM_Handler_Creator;

#endif
