// The storage catalog endpoint: its order of checks, what reaches the
// catalog, and its answers.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/fakes/recording_rest_channel.h"
#include "tests/fakes/recording_storage_catalog.h"
#include "websvcs/common/storage_catalog/storage_catalog_om_handler.h"

using json_spirit::Object;

namespace {

const char UUID[] = "6f1c2a9e-3b7d-4e5f-8a90-1b2c3d4e5f60";

TEST(Storage_Catalog_OM, ChecksInOrderAndPassesOnlyWhatIsAsked) {
  typedef std::map<std::string, std::string> Query;
  const Object pool{{"uuid", UUID}, {"name", "main"}};
  const std::string pool_text = json_spirit::JSON_Dump(pool, false);
  const struct {
    bool signed_in;
    Query query;
    std::vector<std::string> replies;
    std::vector<std::string> calls;
  } cases[] = {
      // The session comes first, whatever the query holds.
      {false, {{"action", "show_pool"}, {"uuid", UUID}}, {unauthenticated_reply()}, {}},
      {true, {{"uuid", UUID}}, {R"(400 -1 "Need 'action' in query string.")"}, {}},
      {true, {{"action", "RESYNC_USAGE"}}, {R"(403 -1 "Unsupported action")"}, {}},
      {true, {{"action", "resync_usage"}}, {R"(400 -1 "Need 'uuid' in query string.")"}, {}},
      {true, {{"action", "show_pool"}, {"uuid", "6f1c-xyz"}},
       {R"(400 -1 "Invalid 'uuid' value when checking with SC_HEX.")"}, {}},
      // Hex digits and dashes, but not a UUID's shape.
      {true, {{"action", "show_pool"}, {"uuid", "abc-def"}}, {R"(400 -1 "Invalid uuid 'abc-def'")"}, {}},
      // An empty uuid skips the hexadecimal check.
      {true, {{"action", "resync_usage"}, {"uuid", ""}}, {R"(400 -1 "Invalid uuid ''")"}, {}},
      // No reply at all: the host answers 204.
      {true, {{"action", "resync_usage"}, {"uuid", UUID}}, {}, {std::string("resync(") + UUID + ")"}},
      {true, {{"action", "show_pool"}, {"uuid", UUID}}, {pool_text},
       {std::string("pool(") + UUID + ",0)"}},
      {true, {{"action", "show_pool"}, {"uuid", UUID}, {"device", ""}}, {pool_text},
       {std::string("pool(") + UUID + ",1)"}},
      {true, {{"action", "show_pool"}, {"uuid", "00000000-0000-0000-0000-000000000000"}},
       {"404 -1"}, {"pool(00000000-0000-0000-0000-000000000000,0)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Installed<Storage_Catalog_Manager, Recording_Storage_Catalog> catalog;
    catalog.pools[UUID] = pool;
    Recording_REST_Channel channel;
    Parsed_Request request;
    request.method = "GET";
    request.params = c.query;
    if (c.signed_in) request.session = Session_Ptr(new Session("k", "alice", 0));
    JSON_RESTful_Storage_Catalog_OM_Handler handler;
    EXPECT_EQ(0, handler.handle_get(channel, request));
    EXPECT_EQ(c.calls, catalog.calls);
    EXPECT_EQ(c.replies, channel.replies);
  }
  EXPECT_EQ(2, JSON_RESTful_Storage_Catalog_OM_Handler().concurrency());
}

}  // namespace
