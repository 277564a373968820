// The challenge, access-key, public-key and interfaces endpoints against
// recording doubles of the identity service and the interface list.
#include <gtest/gtest.h>

#include <string>

#include "tests/fakes/fake_host_info.h"
#include "tests/fakes/fake_host_manager.h"
#include "tests/fakes/recording_log.h"
#include "tests/fakes/recording_rest_channel.h"
#include "websvcs/common/host/host_access_key_handler.h"
#include "websvcs/common/host/host_challenge_handler.h"
#include "websvcs/common/host/host_interfaces_handler.h"
#include "websvcs/common/host/host_public_key_handler.h"

using json_spirit::Array;
using json_spirit::Object;

namespace {

class Identity : public ::testing::Test {
 protected:
  void get(JSON_RESTful_Handler_Impl2& handler, bool signed_in = true,
           std::uint64_t perms = 0xC000000000000000ULL) {
    channel.replies.clear();
    Parsed_Request request;
    request.method = "GET";
    if (signed_in) request.session = Session_Ptr(new Session("k", "alice", perms));
    handler.handle_get(channel, request);
  }
  const std::string& only_reply() {
    EXPECT_EQ(1u, channel.replies.size());
    return channel.replies.at(0);  // none: the throw fails the test
  }

  Installed<Host_Manager, Fake_Host_Manager> host;
  Installed<Interface_Info_Service, Fake_Interface_Info> interfaces;
  Recording_REST_Channel channel;
};

TEST_F(Identity, ChallengeAccessKeyAndPublicKeyPassOnWhatTheServiceGives) {
  JSON_RESTful_Host_Challenge_Handler challenge;
  get(challenge, false);
  EXPECT_EQ(R"({"challenge":")" + std::string(64, 'a') + R"(","expires":1700000300})", only_reply());
  host.challenge_made = false;
  get(challenge, false);
  EXPECT_EQ("500 -1", only_reply());

  JSON_RESTful_Host_Access_Key_Handler access_key;
  for (const std::string key : {"", "secret-key"}) {
    host.access_key(key);
    get(access_key, false);
    EXPECT_EQ('"' + key + '"', only_reply());  // a JSON string, even when empty
  }

  // No key yet. Its text is checked end to end and against OpenSSL's tool.
  JSON_RESTful_Host_Public_Key_Handler public_key;
  Recording_Log log;
  get(public_key, false);
  EXPECT_EQ(R"(500 -1 "Failed to get public key")", only_reply());
  EXPECT_TRUE(log.has(LM_ERROR, "Failed to get public key.\n"));
}

TEST_F(Identity, InterfacesNeedASessionThenPermissions) {
  JSON_RESTful_Host_Interfaces_Handler handler;
  const Object lo{{"name", "lo"}, {"up", true}, {"loopback", true}, {"addresses", Array{}}};
  const std::string lo_text = "[" + json_spirit::JSON_Dump(lo, false) + "]";
  const struct {
    bool signed_in;
    std::uint64_t perms;
    bool succeed;
    Array list;
    std::string reply;
    int calls;  // of the interface list
  } cases[] = {
      // Without a session it is 401 even for a caller who lacks permissions.
      {false, 0, true, {lo}, unauthenticated_reply(), 0},
      {true, 0x4000000000000000ULL, true, {lo}, R"(403 -1 "Insufficient user permissions.")", 0},
      {true, 0xC000000000000000ULL, false, {lo}, R"(500 -1 "Failed to get interface info.")", 1},
      {true, 0xC000000000000000ULL, true, {}, "[]", 1},
      {true, 0xC000000000000000ULL, true, {lo}, lo_text, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    interfaces.calls = 0;
    interfaces.succeed = c.succeed;
    interfaces.value = c.list;
    get(handler, c.signed_in, c.perms);
    EXPECT_EQ(c.reply, only_reply());
    EXPECT_EQ(c.calls, interfaces.calls);
  }
}

}  // namespace
